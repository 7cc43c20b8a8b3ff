#include "tokens.h"

#include "textfile.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <sys/stat.h>

namespace Tokens {

bool isValidName(const QByteArray& name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
            || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

QByteArray hashOf(const QByteArray& token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

QByteArray makeToken()
{
    // The system's source (getrandom), not a seeded generator.
    QByteArray raw(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), raw.size() / 4);
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray line(const QByteArray& name, const QByteArray& token)
{
    return name + ' ' + hashOf(token).toHex() + '\n';
}

std::optional<QList<Entry>> parse(const QByteArray& text, QString* error)
{
    QList<Entry> entries;
    int number = 0;
    for (const QByteArray& raw : TextFile::splitLines(text)) {
        ++number;
        const QByteArray trimmed = raw.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const QList<QByteArray> fields = trimmed.simplified().split(' ');
        const QByteArray hash = fields.value(1).size() == 64 ? QByteArray::fromHex(fields.value(1)) : QByteArray();
        // fromHex skips what is no digit: the round trip tells.
        if (fields.size() != 2 || !isValidName(fields[0]) || hash.size() != 32 || hash.toHex() != fields[1].toLower()) {
            *error = QStringLiteral("line %1: not a name and a SHA-256 in hexadecimal").arg(number);
            return std::nullopt;
        }
        for (const Entry& e : std::as_const(entries)) {
            if (e.name == fields[0]) {
                *error = QStringLiteral("line %1: the name %2 again").arg(number).arg(QString::fromLatin1(e.name));
                return std::nullopt;
            }
        }
        entries.append({ fields[0], hash });
    }
    return entries;
}

QString unsafeRights(const QByteArray& path)
{
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0)
        return QStringLiteral("cannot look at it");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a plain file");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("others than its owner may write it (mode %1)")
            .arg(st.st_mode & 07777, 4, 8, QChar(u'0'));
    if (st.st_mode & S_IROTH)
        return QStringLiteral("anyone may read it (mode %1)").arg(st.st_mode & 07777, 4, 8, QChar(u'0'));
    return {};
}

QByteArray match(const QList<Entry>& entries, const QByteArray& token)
{
    const QByteArray hash = hashOf(token);
    QByteArray found;
    for (const Entry& e : entries) {
        unsigned char diff = 0;
        for (int i = 0; i < 32; ++i)
            diff |= static_cast<unsigned char>(e.hash[i] ^ hash[i]);
        if (diff == 0)
            found = e.name;
    }
    return found;
}

} // namespace Tokens
