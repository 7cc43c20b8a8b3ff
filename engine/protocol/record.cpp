#include "record.h"

#include <cstring>

namespace GatewayRecord {

void writeSlot(QByteArray& record, int at, int width, const QByteArray& text)
{
    const int n = int(qMin<qsizetype>(text.size(), width));
    std::memcpy(record.data() + at, text.constData(), size_t(n));
    // The rest of the slot, terminating zero included, is already zero.
}

namespace {
QByteArray withCredentials(const Credentials& c, int size)
{
    QByteArray record(size, '\0');
    writeSlot(record, UserKeyAt, UserKeyWidth, c.userKey);
    writeSlot(record, PasswordAt, PasswordWidth, c.password);
    writeSlot(record, UserNameAt, UserNameWidth, c.userName);
    return record;
}
} // namespace

QByteArray readSlot(const QByteArray& record, int at, int width)
{
    const char* p = record.constData() + at;
    const void* nul = std::memchr(p, 0, size_t(width));
    return QByteArray(p, nul ? static_cast<const char*>(nul) - p : width);
}

QByteArray buildLoginRecord(const Credentials& credentials, int size)
{
    QByteArray record = withCredentials(credentials, size);
    record[CommandAt] = LoginCommand;
    return record;
}

QByteArray buildMessageRecord(const Message& message, char command, const Credentials& credentials)
{
    QByteArray record(Size, '\0');
    writeSlot(record, DestinationAt, DestinationWidth, message.destination);
    writeSlot(record, SenderAt, SenderWidth, message.sender);
    writeSlot(record, TextAt, TextWidth, message.text);
    writeSlot(record, UserKeyAt, UserKeyWidth, credentials.userKey);
    writeSlot(record, PasswordAt, PasswordWidth, credentials.password);
    writeSlot(record, UserNameAt, UserNameWidth, credentials.userName);
    record[CommandAt] = command;
    return record;
}

Reply readReply(const QByteArray& received, int size)
{
    QByteArray buffer(size, '\0');
    std::memcpy(buffer.data(), received.constData(), size_t(qMin<qsizetype>(received.size(), size)));
    Reply reply;
    reply.resultCode = buffer[ResultAt];
    reply.counter = readSlot(buffer, CounterAt, CounterWidth);
    if (size >= Size)
        reply.info = readSlot(buffer, InfoAt, InfoWidth);
    return reply;
}

} // namespace GatewayRecord
