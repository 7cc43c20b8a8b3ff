#pragma once

#include <QByteArray>

// Reads a field as an integer the way the operator expects: optional leading
// blanks, an optional sign, decimal digits (or $/0x hexadecimal), nothing
// after. Throws SmsError "'%s' is not a valid integer value" otherwise.
int parseInteger(const QByteArray& text);
