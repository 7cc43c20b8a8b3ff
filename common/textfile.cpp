#include "textfile.h"

#include "smserror.h"

#include "fsutil.h"

namespace TextFile {

QList<QByteArray> splitLines(const QByteArray& text)
{
    QList<QByteArray> lines;
    const qsizetype nul = text.indexOf('\0');
    const qsizetype end = nul < 0 ? text.size() : nul;
    const char* data = text.constData();
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < end) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            lines.append(QByteArray(data + start, i - start));
            ++i;
            if (c == '\r' && i < end && data[i] == '\n')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < end)
        lines.append(QByteArray(data + start, end - start));
    return lines;
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
        throw SmsError::cannotOpenFile(QString::fromLatin1(path));
    return splitLines(data);
}

void writeLines(const QByteArray& path, const QList<QByteArray>& lines)
{
    if (!Fs::writeFile(path, joinLines(lines)))
        throw SmsError::cannotCreateFile(QString::fromLatin1(path));
}

} // namespace TextFile
