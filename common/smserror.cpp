#include "smserror.h"

SmsError::SmsError(QString text)
    : m_text(std::move(text))
    , m_utf8(m_text.toUtf8())
{
}

SmsError SmsError::invalidInteger(const QString& value)
{
    return SmsError(QStringLiteral("'%1' is not a valid integer value").arg(value));
}

SmsError SmsError::cannotOpenFile(const QString& path)
{
    return SmsError(QStringLiteral("Cannot open file %1").arg(path));
}

SmsError SmsError::cannotCreateFile(const QString& path)
{
    return SmsError(QStringLiteral("Cannot create file %1").arg(path));
}

SmsError SmsError::listIndexOutOfBounds(int index)
{
    return SmsError(QStringLiteral("List index out of bounds (%1)").arg(index));
}
