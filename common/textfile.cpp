#include "textfile.h"

#include "smserror.h"

#include "fsutil.h"

#include <QFile>

#include <utility>

namespace TextFile {

LineSplitter::LineSplitter(qsizetype maxLines, qsizetype keptPerLine)
    : m_maxLines(maxLines)
    , m_keptPerLine(keptPerLine)
{
}

bool LineSplitter::feed(const char* data, qsizetype size)
{
    qsizetype i = 0;
    while (i < size && !m_done) {
        const char c = data[i];
        if (c == '\0') {
            m_done = true;
        } else if (c == '\n' && m_afterCr) {
            m_afterCr = false; // the LF of a CR LF pair ends no line of its own
            ++i;
        } else if (c == '\r' || c == '\n') {
            m_afterCr = c == '\r';
            m_lines.append(std::exchange(m_line, QByteArray()));
            m_done = m_lines.size() == m_maxLines;
            ++i;
        } else {
            // Take the whole run up to the next line end or NUL at once.
            qsizetype end = i;
            while (end < size && data[end] != '\r' && data[end] != '\n' && data[end] != '\0')
                ++end;
            qsizetype keep = end - i;
            if (m_keptPerLine >= 0)
                keep = qMin(keep, qMax<qsizetype>(0, m_keptPerLine - m_line.size()));
            m_line.append(data + i, keep);
            m_afterCr = false;
            i = end;
        }
    }
    return !m_done;
}

QList<QByteArray> LineSplitter::finish()
{
    if (!m_line.isEmpty() && (m_maxLines < 0 || m_lines.size() < m_maxLines))
        m_lines.append(std::exchange(m_line, QByteArray()));
    return std::exchange(m_lines, {});
}

QList<QByteArray> splitLines(const QByteArray& text)
{
    LineSplitter splitter;
    splitter.feed(text.constData(), text.size());
    return splitter.finish();
}

QByteArray joinLines(const QList<QByteArray>& lines)
{
    qsizetype size = 0;
    for (const QByteArray& line : lines)
        size += line.size() + 2;
    QByteArray text;
    text.reserve(size);
    for (const QByteArray& line : lines) {
        text.append(line);
        text.append("\r\n", 2);
    }
    return text;
}

QList<QByteArray> readLines(const QByteArray& path)
{
    QByteArray data;
    if (!Fs::readFile(path, &data))
        throw SmsError::cannotOpenFile(QFile::decodeName(path));
    return splitLines(data);
}

void writeLines(const QByteArray& path, const QList<QByteArray>& lines)
{
    if (!Fs::writeFile(path, joinLines(lines)))
        throw SmsError::cannotCreateFile(QFile::decodeName(path));
}

} // namespace TextFile
