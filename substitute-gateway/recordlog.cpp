#include "recordlog.h"

#include "logfield.h"
#include "record.h"

#include <QDateTime>

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
    const QByteArrayList parts {
        QByteArray::number(connection),
        escapeLogField(QByteArray(1, request.at(CommandAt))),
        escapeLogField(readSlot(request, UserNameAt, UserNameWidth)),
        escapeLogField(readSlot(request, PasswordAt, PasswordWidth)),
        escapeLogField(readSlot(request, UserKeyAt, UserKeyWidth)),
        escapeLogField(readSlot(request, DestinationAt, DestinationWidth)),
        escapeLogField(readSlot(request, SenderAt, SenderWidth)),
        escapeLogField(readSlot(request, TextAt, TextWidth)),
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
