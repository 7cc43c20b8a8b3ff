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

// Moves a file; fails when the target already exists.
bool moveNoReplace(const QByteArray& from, const QByteArray& to);

bool exists(const QByteArray& path);
bool isDirectory(const QByteArray& path);
bool makeDirectory(const QByteArray& path);

} // namespace Fs
