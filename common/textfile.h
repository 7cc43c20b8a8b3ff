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

// Each line followed by CR LF, the last included; no lines give empty text.
QByteArray joinLines(const QList<QByteArray>& lines);

// Reads and splits a whole file. Throws SmsError "Cannot open file %s".
QList<QByteArray> readLines(const QByteArray& path);

// Writes the lines anew. Throws SmsError "Cannot create file %s".
void writeLines(const QByteArray& path, const QList<QByteArray>& lines);

} // namespace TextFile
