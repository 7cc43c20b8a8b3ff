#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The text-file rule every reader and writer of the program follows. Texts are
// single-byte strings copied byte for byte.
namespace TextFile {

// Splits at CR LF, a lone CR or a lone LF (LF CR is two line ends). A NUL byte
// ends the text, a last line without a break counts, empty text has no lines.
QList<QByteArray> splitLines(const QByteArray& text);

// The same rule for text that arrives in pieces, as from a file being read.
// It can stop after a number of whole lines, and keep only the first bytes of
// each line, so that a reader need not hold a whole large file.
class LineSplitter
{
public:
    // maxLines and keptPerLine below zero mean no limit.
    explicit LineSplitter(qsizetype maxLines = -1, qsizetype keptPerLine = -1);

    // Takes the next piece; false once no more text is wanted (the line limit
    // is reached or a NUL ended the text).
    bool feed(const char* data, qsizetype size);

    // The lines, a last line without a break included.
    QList<QByteArray> finish();

private:
    QList<QByteArray> m_lines;
    QByteArray m_line;
    qsizetype m_maxLines;
    qsizetype m_keptPerLine;
    bool m_afterCr = false;
    bool m_done = false;
};

// Each line followed by CR LF, the last included; no lines give empty text.
QByteArray joinLines(const QList<QByteArray>& lines);

// Reads and splits a whole file. Throws SmsError "Cannot open file %s".
QList<QByteArray> readLines(const QByteArray& path);

// Writes the lines anew. Throws SmsError "Cannot create file %s".
void writeLines(const QByteArray& path, const QList<QByteArray>& lines);

} // namespace TextFile
