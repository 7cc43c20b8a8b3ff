#include "statusfile.h"

#include "messagekind.h"
#include "timestamp.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
using Ledger::Outcomes;

// The kind's key: its extension without the dot.
QByteArray kindKey(const MessageKind& kind)
{
    return QByteArray(kind.extension + 1);
}

QByteArray jsonString(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            escaped.append(u'\\').append(c);
        else if (c.unicode() < 0x20)
            escaped.append(QStringLiteral("\\u%1").arg(uint(c.unicode()), 4, 16, QLatin1Char('0')));
        else
            escaped.append(c);
    }
    return '"' + escaped.toUtf8() + '"';
}

// The gateway's texts are single bytes in its code page.
QByteArray jsonBytes(const QByteArray& bytes)
{
    return jsonString(QString::fromLatin1(bytes));
}

QByteArray jsonTime(const QDateTime& time)
{
    return time.isValid() ? '"' + isoLocalTime(time) + '"' : QByteArray("null");
}

QDateTime readTime(const QJsonValue& value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODate);
}
} // namespace

const char* SenderStatus::linkName(Link link)
{
    switch (link) {
    case Link::Connecting:
        return "connecting";
    case Link::LoggedIn:
        return "logged-in";
    case Link::Disconnected:
        break;
    }
    return "disconnected";
}

QByteArray SenderStatus::toJson() const
{
    QByteArray queuedText = "null";
    if (queued) {
        QList<QByteArray> parts;
        for (size_t i = 0; i < MessageKinds::searchOrder.size(); ++i)
            parts.append('"' + kindKey(MessageKinds::searchOrder[i]) + "\": " + QByteArray::number((*queued)[i]));
        queuedText = '{' + parts.join(", ") + '}';
    }
    QList<QByteArray> totalsParts;
    QList<QByteArray> lastParts;
    for (size_t i = 0; i < Outcomes.size(); ++i) {
        const QByteArray key = QByteArray("\"") + Ledger::outcomeName(Outcomes[i]) + "\": ";
        totalsParts.append(key + QByteArray::number(totals[i]));
        lastParts.append(key + jsonTime(last[i]));
    }
    const QList<std::pair<const char*, QByteArray>> fields {
        { "program", jsonString(program) },
        { "version", jsonString(version) },
        { "pid", QByteArray::number(pid) },
        { "link", QByteArray("\"") + linkName(link) + '"' },
        { "since", jsonTime(since) },
        { "gateway", jsonString(gateway) },
        { "counter", jsonBytes(counter) },
        { "info", jsonBytes(info) },
        { "queued", queuedText },
        { "oldestQueuedSeconds", oldestQueuedSeconds ? QByteArray::number(*oldestQueuedSeconds) : "null" },
        { "unanswered", QByteArray::number(unanswered) },
        { "totals", '{' + totalsParts.join(", ") + '}' },
        { "last", '{' + lastParts.join(", ") + '}' },
        { "paused", paused ? "true" : "false" },
        { "draining", draining ? "true" : "false" },
        { "sendWindow",
            sendWindowOpen ? QByteArray("{\"open\": ") + (*sendWindowOpen ? "true" : "false")
                    + ", \"changesAt\": " + jsonTime(sendWindowChangesAt) + '}'
                           : QByteArray("null") },
        { "cappedUntil", jsonTime(cappedUntil) },
        { "creditLow", creditLow ? "true" : "false" },
        { "written", jsonTime(written) },
    };
    QByteArray out = "{\n";
    for (qsizetype i = 0; i < fields.size(); ++i) {
        out += QByteArray("  \"") + fields[i].first + "\": " + fields[i].second;
        out += i + 1 < fields.size() ? ",\n" : "\n";
    }
    out += "}\n";
    return out;
}

std::optional<SenderStatus> SenderStatus::fromJson(const QByteArray& json, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    const QJsonObject o = document.object();
    SenderStatus s;
    const QString link = o.value(u"link").toString();
    if (link == QLatin1String(linkName(Link::LoggedIn)))
        s.link = Link::LoggedIn;
    else if (link == QLatin1String(linkName(Link::Connecting)))
        s.link = Link::Connecting;
    else if (link == QLatin1String(linkName(Link::Disconnected)))
        s.link = Link::Disconnected;
    else {
        *error = QStringLiteral("no link state");
        return std::nullopt;
    }
    s.written = readTime(o.value(u"written"));
    if (!s.written.isValid()) {
        *error = QStringLiteral("no time written");
        return std::nullopt;
    }
    s.program = o.value(u"program").toString();
    s.version = o.value(u"version").toString();
    s.pid = o.value(u"pid").toInteger();
    s.since = readTime(o.value(u"since"));
    s.gateway = o.value(u"gateway").toString();
    s.counter = o.value(u"counter").toString().toLatin1();
    s.info = o.value(u"info").toString().toLatin1();
    if (const QJsonValue q = o.value(u"queued"); q.isObject()) {
        std::array<qint64, 4> counts {};
        for (size_t i = 0; i < MessageKinds::searchOrder.size(); ++i)
            counts[i] = q.toObject().value(QLatin1String(kindKey(MessageKinds::searchOrder[i]))).toInteger();
        s.queued = counts;
    }
    if (const QJsonValue age = o.value(u"oldestQueuedSeconds"); age.isDouble())
        s.oldestQueuedSeconds = age.toInteger();
    s.unanswered = o.value(u"unanswered").toInteger();
    for (size_t i = 0; i < Outcomes.size(); ++i) {
        const QLatin1String key(Ledger::outcomeName(Outcomes[i]));
        s.totals[i] = o.value(u"totals").toObject().value(key).toInteger();
        s.last[i] = readTime(o.value(u"last").toObject().value(key));
    }
    // Written by senders that know the queue's controls; false or none else.
    s.paused = o.value(u"paused").toBool();
    s.draining = o.value(u"draining").toBool();
    if (const QJsonValue w = o.value(u"sendWindow"); w.isObject()) {
        s.sendWindowOpen = w.toObject().value(u"open").toBool();
        s.sendWindowChangesAt = readTime(w.toObject().value(u"changesAt"));
    }
    s.cappedUntil = readTime(o.value(u"cappedUntil"));
    s.creditLow = o.value(u"creditLow").toBool();
    return s;
}
