#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads a field as an integer the way the operator expects: optional leading
// blanks, an optional sign, decimal digits (or $/0x hexadecimal), nothing
// after. Throws SmsError "'%s' is not a valid integer value" otherwise.
int parseInteger(const QByteArray& text);
// The same reading without the error, for callers that hand it on themselves.
std::optional<int> tryParseInteger(const QByteArray& text);

// A TCP port field: an integer as above, then 0..65535. Cutting a bad port to
// its low 16 bits would reach some other service, so it throws SmsError
// "'%s' is not a valid port number" instead.
quint16 parsePort(const QByteArray& text);

// A whole-number command-line option --name, from least to most. Throws
// SmsError "--name: 'x' is not a whole number", "--name: n is too small, the
// least is l" or "--name: n is too large, the most is m".
int parseOptionNumber(const QString& name, const QString& text, int least, int most);
