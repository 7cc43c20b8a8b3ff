#include "intparse.h"

#include "smserror.h"

#include <limits>

std::optional<int> tryParseInteger(const QByteArray& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return std::nullopt;
    qint64 value = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
        return std::nullopt;
    return int(value);
}

int parseInteger(const QByteArray& text)
{
    if (const std::optional<int> value = tryParseInteger(text))
        return *value;
    throw SmsError::invalidInteger(QString::fromLatin1(text));
}

quint16 parsePort(const QByteArray& text)
{
    const int port = parseInteger(text);
    if (port < 0 || port > 65535)
        throw SmsError(QStringLiteral("'%1' is not a valid port number").arg(QString::fromLatin1(text)));
    return quint16(port);
}

int parseOptionNumber(const QString& name, const QString& text, int least, int most)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok)
        throw SmsError(QStringLiteral("--%1: '%2' is not a whole number").arg(name, text));
    if (value < least)
        throw SmsError(QStringLiteral("--%1: %2 is too small, the least is %3").arg(name).arg(value).arg(least));
    if (value > most)
        throw SmsError(QStringLiteral("--%1: %2 is too large, the most is %3").arg(name).arg(value).arg(most));
    return value;
}
