#pragma once

#include <QByteArray>

// The fixed-size record that passes each way between sender and gateway.
namespace GatewayRecord {

constexpr int Size = 396; // full request and reply
constexpr int ShortSize = 236; // the connection test's short form

// Field offsets and widths.
constexpr int UserNameAt = 0, UserNameWidth = 10;
constexpr int PasswordAt = 10, PasswordWidth = 10;
constexpr int UserKeyAt = 20, UserKeyWidth = 16;
constexpr int CommandAt = 36;
constexpr int DestinationAt = 37, DestinationWidth = 15;
constexpr int SenderAt = 52, SenderWidth = 15;
constexpr int TextAt = 67, TextWidth = 160;
constexpr int CounterAt = 227, CounterWidth = 8;
constexpr int ResultAt = 235;
constexpr int InfoAt = 236, InfoWidth = 160;

constexpr char LoginCommand = 'P';
constexpr char SuccessCode = '0';

struct Credentials
{
    QByteArray userName;
    QByteArray password;
    QByteArray userKey;
};

struct Message
{
    QByteArray destination;
    QByteArray sender;
    QByteArray text;
};

// Copies text into a slot: a shorter text is followed by zeros, a longer one
// is cut; nothing is written past the slot.
void writeSlot(QByteArray& record, int at, int width, const QByteArray& text);

// A slot's text up to its first zero byte (the whole slot when it has none),
// the way every field of the record ends. The record must hold the slot.
QByteArray readSlot(const QByteArray& record, int at, int width);

// A log-in request (command P); size is Size or ShortSize.
QByteArray buildLoginRecord(const Credentials& credentials, int size = Size);

// A message request with the kind's command letter, written last.
QByteArray buildMessageRecord(const Message& message, char command, const Credentials& credentials);

struct Reply
{
    char resultCode = 0;
    QByteArray counter;
    QByteArray info; // empty for the short form

    bool success() const { return resultCode == SuccessCode; }
};

// Reads a received buffer; bytes that did not arrive read as zero.
Reply readReply(const QByteArray& received, int size = Size);

} // namespace GatewayRecord
