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
    return o;
}

} // namespace EngineCommandLine
