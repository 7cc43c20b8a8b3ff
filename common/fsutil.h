#pragma once

#include <QByteArray>

// File system calls on byte paths. Paths are the operator's bytes, passed to
// the system unchanged, so names that are not valid UTF-8 still work.
namespace Fs {

// Whole-file read; false when the path cannot be opened as a regular file.
bool readFile(const QByteArray& path, QByteArray* data);

// Creates or truncates and writes; false on any failure.
bool writeFile(const QByteArray& path, const QByteArray& data);

// Writes a temporary file beside the target with the given mode, then renames
// it over the target: the old file stays whole if anything fails.
bool writeFileAtomic(const QByteArray& path, const QByteArray& data, unsigned mode);

// Creates a file that must not exist yet; false if it exists or fails.
bool createNewFile(const QByteArray& path, const QByteArray& data);

// Moves a file; fails when the target already exists. Across file systems
// the file is copied to partialName(to), flushed to disk, linked to its name
// and only then removed from where it was; a failure at any step leaves the
// source where it was and no file under either new name.
bool moveNoReplace(const QByteArray& from, const QByteArray& to);

// The temporary name a move across file systems copies under. It ends in
// none of the message kinds' extensions, so an outbox search never takes it.
QByteArray partialName(const QByteArray& to);

// A file opened for appending records that must survive a crash.
class AppendFile
{
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating if need be) for appending; false on failure.
    bool open(const QByteArray& path);
    bool isOpen() const { return m_fd >= 0; }
    void close();
    // Appends the bytes whole, then, with sync, waits until they are on the
    // disk (fdatasync). On failure the file is cut back to where it was, so
    // no partial record is left behind.
    bool append(const QByteArray& data, bool sync);
    // Empties the file and waits until that is on the disk.
    bool truncate();
    qint64 size() const { return m_size; }

private:
    int m_fd = -1;
    qint64 m_size = 0;
};

bool exists(const QByteArray& path);
// Removes a file; false if it was not there or could not be removed.
bool removeFile(const QByteArray& path);
bool isDirectory(const QByteArray& path);
bool makeDirectory(const QByteArray& path);

} // namespace Fs
