#include "engineoptions.h"

#include "intparse.h"
#include "smserror.h"

#include <QCommandLineParser>
#include <QDir>

#include <climits>

OptionNumber::OptionNumber(int value)
    : m_value(value)
    , m_text(QByteArray::number(value))
{
}

OptionNumber OptionNumber::fromText(const QByteArray& text)
{
    OptionNumber n;
    n.m_value = tryParseInteger(text);
    n.m_text = text;
    return n;
}

int OptionNumber::value() const
{
    if (!m_value)
        throw SmsError::invalidInteger(QString::fromLatin1(m_text));
    return *m_value;
}

namespace EngineCommandLine {
namespace {
const QString Poll = QStringLiteral("poll");
const QString LogEvery = QStringLiteral("log-every");
const QString OnResult = QStringLiteral("on-result");
const QString MaxUnanswered = QStringLiteral("max-unanswered");
const QString AnswerTimeout = QStringLiteral("answer-timeout");
const QString Metrics = QStringLiteral("metrics");
const QString SendWindowOption = QStringLiteral("send-window");
const QString MaxAge = QStringLiteral("max-age");
const QString MaxPerHour = QStringLiteral("max-per-hour");
const QString MaxPerDay = QStringLiteral("max-per-day");
const QString LowCredit = QStringLiteral("low-credit");

int number(const QCommandLineParser& parser, const QString& name, int least, int most, int otherwise)
{
    return parser.isSet(name) ? parseOptionNumber(name, parser.value(name), least, most) : otherwise;
}
} // namespace

void addOptions(QCommandLineParser& parser, Program program)
{
    if (program == Program::Service) {
        parser.addOption({ Poll,
            QStringLiteral("Poll interval in ms, at least %1 (default %2).")
                .arg(EngineOptions::MinimumPollMs)
                .arg(EngineOptions::DefaultPollMs),
            QStringLiteral("MS") });
        parser.addOption({ LogEvery,
            QStringLiteral("Also write the engine log to SmsSender_<time stamp>.log "
                           "files in the working directory, every N lines (default: "
                           "no files)."),
            QStringLiteral("N") });
    }
    parser.addOption({ OnResult,
        QStringLiteral("Run CMD for every message whose fate becomes known, with five arguments: "
                       "accepted, refused or unanswered; the backup file; the name it had in the outbox; "
                       "the gateway's result character; the counter."),
        QStringLiteral("CMD") });
    parser.addOption({ MaxUnanswered,
        QStringLiteral("Message records that may wait for the gateway's replies at once, %1 to %2 (default %3).")
            .arg(EngineOptions::LeastMaxUnanswered)
            .arg(EngineOptions::MostMaxUnanswered)
            .arg(EngineOptions::DefaultMaxUnanswered),
        QStringLiteral("N") });
    parser.addOption({ AnswerTimeout,
        QStringLiteral("Seconds the gateway may take to answer, or a connection to open, before the connection "
                       "is taken for lost, %1 to %2 (default %3).")
            .arg(EngineOptions::LeastAnswerTimeout.count())
            .arg(EngineOptions::MostAnswerTimeout.count())
            .arg(EngineOptions::DefaultAnswerTimeout.count()),
        QStringLiteral("S") });
    parser.addOption({ Metrics,
        QStringLiteral("Write the sender's figures to FILE in the Prometheus text format, for node_exporter's "
                       "textfile collector: replaced whole every 10 s and at the end."),
        QStringLiteral("FILE") });
    parser.addOption({ SendWindowOption,
        QStringLiteral("Take files only between these local times, e.g. 08:00-20:00 (it may wrap past "
                       "midnight, e.g. 22:00-06:00). Default: at any time."),
        QStringLiteral("HH:MM-HH:MM") });
    parser.addOption({ MaxAge,
        QStringLiteral("A file that has waited longer than this (e.g. 90m, 6h, 2d) is moved to the backup "
                       "folder as expired and never sent. Default: no limit."),
        QStringLiteral("DURATION") });
    parser.addOption({ MaxPerHour,
        QStringLiteral("Send at most N records in any hour; counted from the ledger, so a restart does not "
                       "reset it. Default: no cap."),
        QStringLiteral("N") });
    parser.addOption(
        { MaxPerDay, QStringLiteral("Send at most N records in any 24 hours, as --max-per-hour. Default: no cap."),
            QStringLiteral("N") });
    parser.addOption({ LowCredit,
        QStringLiteral("Warn once when the gateway's counter of messages left falls to N or below. "
                       "Default: never."),
        QStringLiteral("N") });
}

std::optional<EngineOptions::SendWindow> parseSendWindow(const QString& text)
{
    const QStringList ends = text.split(QLatin1Char('-'));
    if (ends.size() != 2)
        return std::nullopt;
    int minutes[2];
    for (int i = 0; i < 2; ++i) {
        const QStringList hm = ends[i].trimmed().split(QLatin1Char(':'));
        bool okH = false;
        bool okM = false;
        const int h = hm.value(0).toInt(&okH);
        const int m = hm.value(1).toInt(&okM);
        if (hm.size() != 2 || !okH || !okM || hm[1].size() != 2 || h < 0 || h > 23 || m < 0 || m > 59)
            return std::nullopt;
        minutes[i] = h * 60 + m;
    }
    if (minutes[0] == minutes[1])
        return std::nullopt;
    return EngineOptions::SendWindow { minutes[0], minutes[1] };
}

std::optional<qint64> parseDuration(const QString& text)
{
    QString number = text.trimmed();
    qint64 unit = 1;
    if (!number.isEmpty() && number.back().isLetter()) {
        switch (number.back().unicode()) {
        case 's':
            unit = 1;
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            return std::nullopt;
        }
        number.chop(1);
    }
    bool ok = false;
    const qint64 n = number.toLongLong(&ok);
    if (!ok || n <= 0 || n > 3650 * 86400 / unit)
        return std::nullopt;
    return n * unit;
}

EngineOptions read(const QCommandLineParser& parser, Program program)
{
    EngineOptions o;
    if (program == Program::Service) {
        o.pollInterval = number(parser, Poll, EngineOptions::MinimumPollMs, INT_MAX, EngineOptions::DefaultPollMs);
        // Without files the log is still emptied now and then, to stay small.
        const int every = number(parser, LogEvery, 1, INT_MAX, 0);
        o.saveLog = every > 0;
        o.lineLimit = every > 0 ? every : EngineOptions::DefaultLineLimit;
    }
    // A path is taken from where the program was started, before it moves
    // into its working directory; a bare name is looked up in PATH.
    o.onResult = parser.value(OnResult);
    if (o.onResult.contains(QLatin1Char('/')))
        o.onResult = QDir::current().absoluteFilePath(o.onResult);
    if (parser.isSet(Metrics)) {
        if (parser.value(Metrics).isEmpty())
            throw SmsError(QStringLiteral("--metrics: give a file"));
        o.metricsFile = QDir::current().absoluteFilePath(parser.value(Metrics));
    }
    o.maxUnanswered = number(parser, MaxUnanswered, EngineOptions::LeastMaxUnanswered, EngineOptions::MostMaxUnanswered,
        EngineOptions::DefaultMaxUnanswered);
    o.answerTimeout = std::chrono::seconds(number(parser, AnswerTimeout, int(EngineOptions::LeastAnswerTimeout.count()),
        int(EngineOptions::MostAnswerTimeout.count()), int(EngineOptions::DefaultAnswerTimeout.count())));
    if (parser.isSet(SendWindowOption)) {
        o.sendWindow = parseSendWindow(parser.value(SendWindowOption));
        if (!o.sendWindow)
            throw SmsError(QStringLiteral("--send-window: '%1' is not HH:MM-HH:MM with two different times")
                               .arg(parser.value(SendWindowOption)));
    }
    if (parser.isSet(MaxAge)) {
        const std::optional<qint64> age = parseDuration(parser.value(MaxAge));
        if (!age)
            throw SmsError(
                QStringLiteral("--max-age: '%1' is not a duration such as 90m, 6h or 2d").arg(parser.value(MaxAge)));
        o.maxAgeSeconds = *age;
    }
    o.maxPerHour = number(parser, MaxPerHour, 1, INT_MAX, 0);
    o.maxPerDay = number(parser, MaxPerDay, 1, INT_MAX, 0);
    if (parser.isSet(LowCredit))
        o.lowCredit = number(parser, LowCredit, 0, INT_MAX, 0);
    return o;
}

} // namespace EngineCommandLine
