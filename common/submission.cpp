#include "submission.h"

#include "codepage.h"
#include "fsutil.h"
#include "messagekind.h"
#include "paths.h"
#include "textfile.h"

#include <QDateTime>

#include <chrono>

namespace Submission {

namespace {

QString fieldRefusal(const char* field, const QString& value, int maxLength)
{
    for (const QChar c : value) {
        if (c == u'\r' || c == u'\n' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return QStringLiteral("%1: no line breaks").arg(QLatin1String(field));
        if (c == QChar(0))
            return QStringLiteral("%1: no NUL characters").arg(QLatin1String(field));
    }
    if (const QString uncarried = uncarriedCharacter(value); !uncarried.isEmpty())
        return QStringLiteral("%1: %2").arg(QLatin1String(field), uncarried);
    if (maxLength > 0 && value.size() > maxLength)
        return QStringLiteral("%1: %2 characters, at most %3")
            .arg(QLatin1String(field))
            .arg(value.size())
            .arg(maxLength);
    return {};
}

} // namespace

QString checkMessage(const QString& to, const QString& from, const QString& text)
{
    static const QString digits = QStringLiteral("0123456789");
    const QString number = to.startsWith(u'+') ? to.mid(1) : to;
    bool onlyDigits = !number.isEmpty();
    for (const QChar c : number)
        onlyDigits = onlyDigits && digits.contains(c);
    if (!onlyDigits || to.size() > 15)
        return QStringLiteral("--to: '%1' is no number: 1 to 15 characters, digits with an optional leading \"+\"")
            .arg(to);
    if (from.isEmpty())
        return QStringLiteral("--from: give a sender, 1 to 15 characters");
    if (QString refusal = fieldRefusal("--from", from, 15); !refusal.isEmpty())
        return refusal;
    // One character is one byte in the code page.
    if (QString refusal = fieldRefusal("text", text, 0); !refusal.isEmpty())
        return refusal;
    if (text.size() > 160)
        return QStringLiteral("text: %1 bytes, at most 160").arg(text.size());
    return {};
}

QByteArray messageFile(const QString& to, const QString& from, const QString& text)
{
    return TextFile::joinLines({ to.toLatin1(), from.toLatin1(), text.toLatin1() });
}

QString kindWords()
{
    return QStringLiteral("normal, flash, logo, ring");
}

SubmissionNames::SubmissionNames(qint64 pid)
    : m_pid(pid)
{
}

QByteArray SubmissionNames::next(const QByteArray& extension)
{
    using namespace std::chrono;
    return next(extension, duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

QByteArray SubmissionNames::next(const QByteArray& extension, qint64 clockMicros)
{
    // A clock stepped back must not put a later message before an earlier.
    const qint64 micros = std::max(clockMicros, m_lastMicros + 1);
    m_lastMicros = micros;
    const QDateTime utc = QDateTime::fromMSecsSinceEpoch(micros / 1000, Qt::UTC);
    return utc.toString(u"yyyyMMddTHHmmss").toLatin1() + '.'
        + QByteArray::number(micros % 1000000).rightJustified(6, '0') + "Z_" + QByteArray::number(m_pid) + '_'
        + QByteArray::number(++m_sequence).rightJustified(4, '0') + extension;
}

QByteArray temporaryName(const QByteArray& name)
{
    return '.' + name + ".part";
}

bool isSubmissionName(const QByteArray& text)
{
    // yyyyMMddTHHmmss.uuuuuuZ_PID_SEQ.ext
    static constexpr qsizetype StampLength = 23;
    if (text.size() < StampLength + 4 || text.size() > 96)
        return false;
    for (qsizetype i = 0; i < StampLength; ++i) {
        const char c = text[i];
        const char want = i == 8 ? 'T' : i == 15 ? '.' : i == 22 ? 'Z' : '0';
        if (want == '0' ? (c < '0' || c > '9') : c != want)
            return false;
    }
    const qsizetype dot = text.lastIndexOf('.');
    if (dot <= StampLength || !MessageKinds::byExtension(text.mid(dot)))
        return false;
    const QList<QByteArray> parts = text.mid(StampLength, dot - StampLength).split('_');
    if (parts.size() != 3 || !parts[0].isEmpty())
        return false;
    for (int i = 1; i < 3; ++i) {
        if (parts[i].isEmpty() || parts[i].size() > 19)
            return false;
        for (const char c : parts[i]) {
            if (c < '0' || c > '9')
                return false;
        }
    }
    return true;
}

Published publish(const QByteArray& outboxDir, const std::function<QByteArray()>& nextName, const QByteArray& data,
    const std::function<void()>& syncDirectory)
{
    // A name is never met twice; should one be there all the same, the next.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = nextName();
        switch (Fs::publishFile(joinDir(outboxDir, temporaryName(name)), joinDir(outboxDir, name), data,
            Fs::creationMode(), !syncDirectory)) {
        case Fs::Published::Yes:
            if (syncDirectory)
                syncDirectory();
            return { Published::Yes, name };
        case Fs::Published::Exists:
            continue;
        case Fs::Published::Failed:
            return { Published::Failed, name };
        }
    }
    return { Published::NoFreeName, {} };
}

} // namespace Submission
