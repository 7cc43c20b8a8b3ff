#include "recordlog.h"

#include "gatewayoptions.h"
#include "record.h"

#include <QDateTime>
#include <cstring>

namespace {
// A text slot up to its first zero byte.
QByteArray slotText(const QByteArray& record, int at, int width)
{
    const char* p = record.constData() + at;
    const void* nul = std::memchr(p, 0, size_t(width));
    return QByteArray(p, nul ? static_cast<const char*>(nul) - p : width);
}
} // namespace

bool RecordLog::open(const QString& path, QString* error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = m_file.errorString();
        return false;
    }
    return true;
}

QByteArray RecordLog::fields(int connection, const QByteArray& request, char result)
{
    using namespace GatewayRecord;
    const QByteArrayList parts{
        QByteArray::number(connection),
        escapeLogField(QByteArray(1, request.at(CommandAt))),
        escapeLogField(slotText(request, UserNameAt, UserNameWidth)),
        escapeLogField(slotText(request, PasswordAt, PasswordWidth)),
        escapeLogField(slotText(request, UserKeyAt, UserKeyWidth)),
        escapeLogField(slotText(request, DestinationAt, DestinationWidth)),
        escapeLogField(slotText(request, SenderAt, SenderWidth)),
        escapeLogField(slotText(request, TextAt, TextWidth)),
        escapeLogField(QByteArray(1, result)),
        QByteArray::number(request.size()),
    };
    return parts.join('\t');
}

void RecordLog::write(int connection, const QByteArray& request, char result)
{
    if (!m_file.isOpen())
        return;
    const QByteArray time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLatin1();
    m_file.write(time + '\t' + fields(connection, request, result) + '\n');
    // Readers watch the file while the gateway runs.
    m_file.flush();
}
