#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

#include <memory>

// Reading the ledger of fates (ledger.h) without holding it whole: from its
// end backwards a chunk at a time, and onwards as lines are appended. Both
// keep their files open, so a rotation meanwhile moves nothing still unread.
namespace Ledger {

// The lines newest first, across the rotated files.
class BackwardReader
{
public:
    // dir: the working directory (empty: the current one).
    explicit BackwardReader(const QByteArray& dir);
    ~BackwardReader();
    BackwardReader(const BackwardReader&) = delete;
    BackwardReader& operator=(const BackwardReader&) = delete;

    // Appends the lines of about one more chunk, newest first, without their
    // breaks; false once the oldest file's beginning is reached.
    bool readOlder(QList<QByteArray>* lines, qint64 chunkBytes = 64 * 1024);
    bool atBeginning() const { return (!m_file || m_pos == 0) && m_files.isEmpty(); }

    // The current file's whole lines ended here when reading began: where a
    // ForwardReader takes over.
    qint64 currentEnd() const { return m_currentEnd; }

private:
    bool openNext();

    QList<QByteArray> m_files; // still to read, the newest last
    std::unique_ptr<QFile> m_file;
    qint64 m_pos = 0; // what is before this is still to read
    QByteArray m_carry; // a line's end whose beginning is before m_pos
    qint64 m_currentEnd = 0;
};

// The lines appended to the current ledger from an offset on, oldest first,
// following it through a rotation.
class ForwardReader
{
public:
    ForwardReader(const QByteArray& dir, qint64 offset);

    // Appends the whole lines written since the last call (at most about
    // maxBytes of them).
    void readAppended(QList<QByteArray>* lines, qint64 maxBytes = 4 * 1024 * 1024);

private:
    QByteArray m_path;
    std::unique_ptr<QFile> m_file;
    qint64 m_offset;
};

} // namespace Ledger
