#pragma once

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <functional>

// Every file-system call of the program, on byte paths. Paths are the
// operator's bytes, passed to the system unchanged, so names that are not
// valid UTF-8 still work. The Linux side is fs_posix.cpp, the one place
// the program makes these calls.
//
// A Windows side would use, function by function:
//   readFile, ReadFile        CreateFileW with FILE_SHARE_READ|WRITE|DELETE
//   writeFile, createNewFile  CreateFileW, CREATE_ALWAYS / CREATE_NEW
//   writeFileAtomic           temporary file, FlushFileBuffers, then
//                             MoveFileExW(MOVEFILE_REPLACE_EXISTING)
//   publishFile               CreateFileW CREATE_NEW, FlushFileBuffers, then
//                             MoveFileExW(MOVEFILE_WRITE_THROUGH) without
//                             MOVEFILE_REPLACE_EXISTING
//   moveNoReplace             MoveFileExW without MOVEFILE_REPLACE_EXISTING
//                             (fails on an existing name); across volumes
//                             CopyFileExW to partialName, FlushFileBuffers,
//                             MoveFileExW(MOVEFILE_WRITE_THROUGH), DeleteFileW;
//                             Gone: ERROR_FILE_NOT_FOUND for the source
//   AppendFile                FILE_APPEND_DATA, FlushFileBuffers for sync,
//                             SetFileInformationByHandle to cut back
//   ReadFile::lease           no leases: open with share mode FILE_SHARE_READ
//                             only, which fails (sharing violation) while a
//                             writer has the file open, giving Busy (never
//                             Refused)
//   fileInfo, sameFile            GetFileInformationByHandle (volume serial and
//                             file index)
//   creationMode              not needed: files take the folder's ACL
//   isNetworkFileSystem       GetDriveTypeW (DRIVE_REMOTE) and
//                             GetVolumeInformationW's file-system name
//   walkDirectory             FindFirstFileExW / FindNextFileW
//   DirectoryWatch            ReadDirectoryChangesW on an overlapped
//                             directory handle (ERROR_NOTIFY_ENUM_DIR: Lost)
//   exists, isDirectory,      GetFileAttributesW, DeleteFileW,
//   removeFile, makeDirectory CreateDirectoryW
#ifndef Q_OS_WIN
struct stat;
#endif

namespace Fs {

// Whole-file read; false when the path cannot be opened as a regular file.
bool readFile(const QByteArray& path, QByteArray* data);

// Creates or truncates and writes; false on any failure.
bool writeFile(const QByteArray& path, const QByteArray& data);

// Writes a temporary file beside the target with the given mode, then renames
// it over the target: the old file stays whole if anything fails. Without
// sync the data is not waited for on the disk: for files rewritten often,
// whose loss in a power cut costs nothing (a status file).
bool writeFileAtomic(const QByteArray& path, const QByteArray& data, unsigned mode, bool sync = true);

enum class Published { Yes, Exists, Failed };
// Hands a new file to readers whole: writes tempPath (which must not exist)
// with the mode, flushes it to the disk, gives it the name path unless that
// exists (Exists: nothing is left behind), and flushes the directory unless
// the caller does that itself (for many files at once).
Published publishFile(const QByteArray& tempPath, const QByteArray& path, const QByteArray& data, unsigned mode,
    bool syncDirectory = true);

// Creates a file that must not exist yet; false if it exists or fails.
bool createNewFile(const QByteArray& path, const QByteArray& data);

// Moves a file; fails when the target already exists. Across file systems
// the file is copied to partialName(to), flushed to disk, linked to its name
// and only then removed from where it was; a failure at any step leaves the
// source where it was and no file under either new name. Gone when nothing
// stands under from any more (another process took the file first); Failed
// for every other failure.
enum class Moved { Yes, Gone, Failed };
Moved moveNoReplace(const QByteArray& from, const QByteArray& to);

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

// A regular file opened for reading without blocking, so that a FIFO in the
// way cannot hang the caller.
class ReadFile
{
public:
    enum class Opened { Yes, Gone, Failed };
    enum class Lease { Held, Busy, Refused, None };

    ReadFile() = default;
    ~ReadFile() { close(); }
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;

    // Gone when nothing is under the name any more; Failed when something
    // is there but cannot be opened or is no regular file.
    Opened open(const QByteArray& path);
    // Takes a read lease, which the system refuses (Busy) while any process
    // holds the file open for writing. Refused: this process may not lease
    // the file (it is another user's, and the process lacks CAP_LEASE);
    // None where no lease is to be had for another reason.
    Lease lease();
    // Bytes read, 0 at the end, -1 on failure.
    qint64 read(char* data, qint64 size);
    // Gives the lease back and closes.
    void close();
    // Seconds since the epoch of the last change, as opened.
    qint64 modifiedSeconds() const { return m_mtimeSeconds; }

private:
    int m_fd = -1;
    bool m_leased = false;
    qint64 m_mtimeSeconds = 0;
};

struct FileInfo
{
    qint64 size = -1;
    qint64 mtimeNs = -1;
    qint64 changedSeconds = -1; // status change: written, or renamed into place
};

// The path itself (a link is not followed); false when it cannot be read.
bool fileInfo(const QByteArray& path, FileInfo* info);
// Whether two paths name one file or directory, whatever the spelling or links.
bool sameFile(const QByteArray& a, const QByteArray& b);
// The mode a plain file creation gets, the process's mask applied.
unsigned creationMode();

#ifndef Q_OS_WIN
// Opens a regular file for reading, its status in *st; -1 for anything else.
// Non-blocking, so that a FIFO in the way cannot hang the program.
int openRegular(const QByteArray& path, struct ::stat* st);
#endif
bool exists(const QByteArray& path);
// Removes a file; false if it was not there or could not be removed.
bool removeFile(const QByteArray& path);
bool isDirectory(const QByteArray& path);
bool makeDirectory(const QByteArray& path);

// Whether the directory lies on a network or user-space file system (NFS,
// SMB/CIFS, FUSE and the like), where change notifications miss what other
// machines or the file system's own server do.
bool isNetworkFileSystem(const QByteArray& dir);

enum class WalkResult { Done, Stopped, Failed };

// Calls visit for every entry of the directory, "." and ".." included, in the
// order the system yields them; visit returns false to stop the walk.
WalkResult walkDirectory(const QByteArray& dir, const std::function<bool(const char* name, size_t length)>& visit);

// Change notifications on one directory.
class DirectoryWatch
{
public:
    struct Event
    {
        enum Kind { Added, Removed, Lost };
        Kind kind;
        QByteArray name; // empty for Lost
    };

    DirectoryWatch() = default;
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
    ~DirectoryWatch() { stop(); }

    // False when no watch can be set (no such directory, no resources).
    // add() may run on another thread, as it costs time in the system in
    // proportion to the directory's size.
    bool open();
    bool add(const QByteArray& dir);
    void stop();
    bool isActive() const { return m_fd >= 0; }
    // Readable when events are pending; -1 while stopped.
    int descriptor() const { return m_fd; }

    // Appends the events pending now, without blocking. Lost stands for
    // anything after which the names known can no longer be trusted: events
    // dropped by the system, or the directory itself moved or removed.
    void readEvents(QList<Event>* events);

private:
    int m_fd = -1;
};

} // namespace Fs
