#include "smsservice.h"

#include "errorroute.h"
#include "intparse.h"
#include "notify.h"
#include "settings.h"
#include "smserror.h"
#include "textfile.h"
#include "timestamp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <utility>

namespace {
// The gateway's text and outbox names reach the journal: no control bytes,
// so one line stays one line.
QByteArray printable(const QByteArray& line)
{
    QByteArray out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto u = uchar(c);
        if (u < 0x20 || u == 0x7f)
            out.append("\\x").append(QByteArray::number(u, 16).rightJustified(2, '0'));
        else
            out.append(c);
    }
    return out;
}

// What Start would refuse, found before the settings are taken.
void checkPort(const Settings& s)
{
    const int port = parseInteger(s.serverPort);
    if (port < 0 || port > 65535)
        throw SmsError(QStringLiteral("'%1' is not a valid port number").arg(QString::fromLatin1(s.serverPort)));
}

// Log lines that tell of a message or the connection in trouble.
const QByteArray WarningStarts[] = { "No reply for", "Refused:", "Socket Error", "Socket Disconnect",
    "No answer from the gateway", "Result command failed" };
} // namespace

SmsService::SmsService(
    SettingsStore& settings, const SmsdOptions& options, std::FILE* out, std::FILE* err, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_outIsJournal(ServiceNotify::isJournal(out))
    , m_errIsJournal(ServiceNotify::isJournal(err))
{
    m_engine = std::make_unique<DispatchEngine>(settings, *this, Clock::system());
    m_engine->results.setCommand(options.onResult);
    m_engine->inflight.setLimit(options.maxUnanswered);
    m_engine->inflight.setAnswerTimeout(std::chrono::seconds(options.answerTimeoutSeconds));
    m_engine->statusFiles.setMetricsFile(QFile::encodeName(options.metricsFile));
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &SmsService::reconnect);
    connect(&m_watchdog, &QTimer::timeout, this, [] { ServiceNotify::watchdog(); });
    m_afterTick.setSingleShot(true);
    m_afterTick.setInterval(0);
    connect(&m_afterTick, &QTimer::timeout, this, &SmsService::updateStatus);
    const GatewayLink& link = m_engine->link;
    connect(&link, &GatewayLink::stateChanged, this, &SmsService::updateStatus);
    // Decided once the handler that closed the link has run to its end.
    connect(&link, &GatewayLink::closed, this, [this](CloseReason reason) {
        if (reason != CloseReason::Stopped && !m_terminating && !m_reconnectQueued) {
            m_reconnectQueued = true;
            QTimer::singleShot(0, this, &SmsService::scheduleReconnect);
        }
    });
    connect(&link, &GatewayLink::loggedInToGateway, this, [this] { m_delaySeconds = FirstDelaySeconds; });
}

SmsService::~SmsService()
{
    m_engine->link.closeWithoutEvent();
}

void SmsService::start()
{
    for (const QByteArray& line : m_engine->log.lines())
        writeLine(m_out, line, priorityOf(line));
    // Names what an earlier run here sent without an answer, before any send.
    runGuarded(*this, [this] { m_engine->openJournal(QByteArray()); });
    m_engine->link.Start1Click();
    // Ready with the settings read and the folder held; the gateway may take
    // its time, and the status says how the link is.
    ServiceNotify::ready();
    updateStatus();
    // Pinged from the event loop itself, so that a hung loop stops the pings.
    using namespace std::chrono;
    if (const auto timeout = ServiceNotify::watchdogTimeout(); timeout.count() > 0)
        m_watchdog.start(std::max(milliseconds(1), duration_cast<milliseconds>(timeout / 2)));
}

void SmsService::terminate()
{
    // A second signal while the result commands finish: end now.
    if (std::exchange(m_terminating, true)) {
        QCoreApplication::exit(0);
        return;
    }
    ServiceNotify::stopping();
    m_reconnect.stop();
    runGuarded(*this, [this] { m_engine->link.Stop1Click(); });
    // The fates just named reach the result command before the end, for as
    // long as one command may run; what is left is named at exit.
    const ResultHook& results = m_engine->results;
    if (results.running() == 0 && results.waiting() == 0) {
        QCoreApplication::exit(0);
        return;
    }
    connect(&results, &ResultHook::idle, this, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(ResultHook::DefaultTimeLimit + std::chrono::seconds(1), this, [] { QCoreApplication::exit(0); });
}

void SmsService::reload()
{
    // systemd holds back further reloads until READY comes again.
    ServiceNotify::reloading();
    reloadSettings();
    ServiceNotify::ready();
}

void SmsService::reloadSettings()
{
    const QByteArray keeping = "; the settings in use are kept";
    SettingsStore fresh;
    try {
        if (!fresh.load()) {
            showError(QStringLiteral("%1 not found in %2")
                          .arg(QString::fromLatin1(SettingsStore::FileName), QDir::currentPath())
                + QString::fromLatin1(keeping));
            return;
        }
        checkPort(fresh.values());
    } catch (const SmsError& e) {
        showError(QString::fromLatin1(SettingsStore::FileName) + QStringLiteral(": ") + e.text()
            + QString::fromLatin1(keeping));
        return;
    }
    const Settings before = m_settings.values();
    m_settings.replace(fresh.values());
    runGuarded(*this, [this] { m_engine->log.appendLine("Settings read again"); });
    const Settings& now = m_settings.values();
    if (now.serverAddress != before.serverAddress || now.serverPort != before.serverPort)
        restartLink();
}

void SmsService::restartLink()
{
    m_reconnect.stop();
    runGuarded(*this, [this] { m_engine->link.Stop1Click(); });
    m_delaySeconds = FirstDelaySeconds;
    reconnect();
}

void SmsService::scheduleReconnect()
{
    m_reconnectQueued = false;
    const GatewayLink& link = m_engine->link;
    if (m_terminating || m_reconnect.isActive() || link.isConnected() || link.isPending())
        return;
    const int seconds = m_delaySeconds;
    m_delaySeconds = std::min(seconds * 2, LongestDelaySeconds);
    m_reconnect.start(seconds * 1000);
    runGuarded(
        *this, [this, seconds] { m_engine->log.appendLine("Reconnecting in " + QByteArray::number(seconds) + " s"); });
}

void SmsService::reconnect()
{
    runGuarded(*this, [this] { m_engine->link.Start1Click(); });
}

QByteArray SmsService::priorityOf(const QByteArray& line)
{
    for (const QByteArray& start : WarningStarts) {
        if (line.startsWith(start))
            return "<4>";
    }
    return "<6>";
}

void SmsService::logLineAppended(const QByteArray& line)
{
    writeLine(m_out, line, priorityOf(line));
}

QByteArray SmsService::lineLimitText() const
{
    // Without files the log is still emptied now and then, to stay small.
    return QByteArray::number(m_options.logEvery > 0 ? m_options.logEvery : 1000);
}

bool SmsService::saveLogChecked() const
{
    return m_options.logEvery > 0;
}

QByteArray SmsService::pollIntervalText() const
{
    return QByteArray::number(m_options.pollMs);
}

void SmsService::setCounterText(const QByteArray& counter)
{
    if (counter == m_counter)
        return;
    m_counter = counter;
    writeLine(m_out, "Counter: " + counter, "<6>");
    updateStatus();
}

void SmsService::setInfoText(const QByteArray& info)
{
    if (info == m_info)
        return;
    m_info = info;
    const QByteArray text = TextFile::splitLines(info).join(" | ");
    writeLine(m_out, "Info: " + (text.isEmpty() ? QByteArray("(none)") : text), "<6>");
}

void SmsService::toggleActivityLight()
{
    // Called as a tick begins; the queue has changed once it has run.
    m_afterTick.start();
}

void SmsService::showError(const QString& text)
{
    writeLine(m_err, "Error: " + text.toLocal8Bit(), "<3>");
}

qsizetype SmsService::queuedFiles()
{
    // From the index; where the outbox is walked, a walk at most once a
    // second. 0 while the first scan runs.
    qint64 total = 0;
    if (const std::optional<Outbox::Queue> queue = m_engine->outbox.queue(m_settings.values().outboxDir)) {
        for (const qint64 n : queue->counts)
            total += n;
    }
    return qsizetype(total);
}

QByteArray SmsService::statusText()
{
    const GatewayLink& link = m_engine->link;
    const QByteArray gateway = printable(link.gatewayAddress().toUtf8());
    QByteArray state;
    switch (link.state()) {
    case LinkState::Disconnected:
        state = "Disconnected";
        break;
    case LinkState::Connecting:
        state = "Connecting to " + gateway;
        break;
    case LinkState::LoggedIn:
        state = "Logged in to " + gateway;
        break;
    }
    const qsizetype queued = queuedFiles();
    return state + ", " + QByteArray::number(queued) + (queued == 1 ? " file" : " files") + " queued, counter "
        + (m_counter.isEmpty() ? QByteArray("not known yet") : printable(m_counter));
}

void SmsService::updateStatus()
{
    if (!m_engine)
        return; // log lines from the engine's own construction
    QByteArray text = statusText();
    if (text == m_status)
        return;
    m_status = std::move(text);
    ServiceNotify::status(m_status);
}

void SmsService::writeLine(std::FILE* to, const QByteArray& line, const QByteArray& priority)
{
    // journald reads the prefix as the line's priority and strips it.
    const bool journal = to == m_out ? m_outIsJournal : m_errIsJournal;
    const QByteArray bytes = (journal ? priority : QByteArray()) + printable(line) + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}
