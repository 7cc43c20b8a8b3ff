#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The HTTP front's tokens file: one line per client, its name and the
// SHA-256 of its token in hexadecimal, separated by blanks. The tokens
// themselves are never stored. Blank lines and lines starting with "#" are
// skipped. marlek-sms token add writes it; marlek-sms-http reads it.
namespace Tokens {

// Where the packaged front reads it.
constexpr const char* DefaultFile = "/etc/marlek-sms-http/tokens";

struct Entry
{
    QByteArray name;
    QByteArray hash; // 32 bytes, raw
};

// A client's name: 1 to 64 letters, digits, ".", "_" or "-".
bool isValidName(const QByteArray& name);
// The token's SHA-256, raw.
QByteArray hashOf(const QByteArray& token);
// A new random token of 256 bits, URL-safe base64 without padding.
QByteArray makeToken();
// The line for the file, with its line break.
QByteArray line(const QByteArray& name, const QByteArray& token);

// The entries, or nothing and the reason in *error (naming the line).
std::optional<QList<Entry>> parse(const QByteArray& text, QString* error);

// Why the file's rights are unsafe (writable by anyone but its owner,
// readable by others), or empty; a file that cannot be looked at says so.
QString unsafeRights(const QByteArray& path);

// The name whose hash matches the token's, or empty. Every entry is
// compared, each in constant time, so the time taken tells nothing.
QByteArray match(const QList<Entry>& entries, const QByteArray& token);

} // namespace Tokens
