#include "ledgerreader.h"

#include "fsutil.h"
#include "ledger.h"
#include "paths.h"

#include <algorithm>

namespace Ledger {

namespace {
std::unique_ptr<QFile> openRead(const QByteArray& path)
{
    auto file = std::make_unique<QFile>(QFile::decodeName(path));
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return nullptr;
    return file;
}

// Where the file's last whole line ends: a line being appended this moment
// is left to the ForwardReader.
qint64 lastLineEnd(QFile& file)
{
    constexpr qint64 Block = 4096;
    for (qint64 end = file.size(); end > 0;) {
        const qint64 from = std::max<qint64>(0, end - Block);
        if (!file.seek(from))
            return 0;
        const QByteArray data = file.read(end - from);
        const qsizetype at = data.lastIndexOf('\n');
        if (at >= 0)
            return from + at + 1;
        end = from;
    }
    return 0;
}
} // namespace

BackwardReader::BackwardReader(const QByteArray& dir)
{
    // The current file is opened between two listings that agree, so that a
    // rotation at this moment neither hides a file nor shows one twice.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_files = files(dir);
        const QByteArray current = m_files.takeLast();
        m_file = openRead(current);
        QList<QByteArray> again = files(dir);
        again.removeLast();
        if (again == m_files)
            break;
    }
    if (m_file) {
        m_currentEnd = lastLineEnd(*m_file);
        m_pos = m_currentEnd;
        m_carry = "\n";
    }
}

BackwardReader::~BackwardReader() = default;

bool BackwardReader::openNext()
{
    m_file.reset();
    while (!m_files.isEmpty()) {
        m_file = openRead(m_files.takeLast());
        if (m_file) {
            m_pos = m_file->size();
            // A rotated file's last line counts even without its break.
            m_carry = "\n";
            return true;
        }
    }
    return false;
}

bool BackwardReader::readOlder(QList<QByteArray>* lines, qint64 chunkBytes)
{
    for (;;) {
        if (!m_file && !openNext())
            return false;
        if (m_pos == 0) {
            m_file.reset();
            continue;
        }
        const qint64 from = std::max<qint64>(0, m_pos - chunkBytes);
        QByteArray data;
        if (m_file->seek(from))
            data = m_file->read(m_pos - from);
        if (data.size() != m_pos - from) {
            // Cut short under the reader: what is left of it is lost.
            m_file.reset();
            continue;
        }
        // The chunk, then the line it began inside of, then a break.
        data += m_carry;
        m_pos = from;
        QList<QByteArray> pieces = data.split('\n');
        pieces.removeLast();
        m_carry.clear();
        if (from > 0)
            m_carry = pieces.takeFirst() + '\n';
        const qsizetype before = lines->size();
        for (auto it = pieces.crbegin(); it != pieces.crend(); ++it) {
            if (!it->isEmpty())
                lines->append(*it);
        }
        if (lines->size() > before)
            return true;
    }
}

ForwardReader::ForwardReader(const QByteArray& dir, qint64 offset)
    : m_path(joinDir(dir, FileName))
    , m_file(openRead(m_path))
    , m_offset(m_file ? offset : 0)
{
}

void ForwardReader::readAppended(QList<QByteArray>* lines, qint64 maxBytes)
{
    if (!m_file) {
        m_file = openRead(m_path);
        m_offset = 0;
        if (!m_file)
            return;
    }
    QByteArray data;
    if (m_file->size() > m_offset && m_file->seek(m_offset))
        data = m_file->read(maxBytes);
    const qsizetype end = data.lastIndexOf('\n') + 1;
    if (end > 0) {
        for (const QByteArray& line : data.left(end - 1).split('\n')) {
            if (!line.isEmpty())
                lines->append(line);
        }
        m_offset += end;
    }
    if (data.size() >= maxBytes)
        return; // more next time
    // Rotated: the name now holds a new file, shorter than what was read of
    // the old one, which this reader has just finished.
    Fs::FileInfo info;
    if (Fs::fileInfo(m_path, &info) && info.size < m_offset) {
        m_file = openRead(m_path);
        m_offset = 0;
        if (m_file)
            readAppended(lines, maxBytes);
    }
}

} // namespace Ledger
