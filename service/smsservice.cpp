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

} // namespace

SmsService::SmsService(
    SettingsStore& settings, const SmsdOptions& options, std::FILE* out, std::FILE* err, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_out(out)
    , m_err(err)
    , m_outIsJournal(ServiceNotify::isJournal(out))
    , m_errIsJournal(ServiceNotify::isJournal(err))
    , m_engine(settings, *this, Clock::system())
{
    m_engine.configure(options.engine);
    connect(&m_engine.log(), &EngineLog::appended, this,
        [this](const LogEvent& event) { writeLine(m_out, event.text, priorityOf(event.severity)); });
    connect(&m_engine, &DispatchEngine::statusChanged, this, &SmsService::statusChanged);
    // A drain ends the service with 0, so that systemd does not restart it.
    connect(&m_engine, &DispatchEngine::drained, this, &SmsService::terminate, Qt::QueuedConnection);
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &SmsService::reconnect);
    connect(&m_watchdog, &QTimer::timeout, this, [] { ServiceNotify::watchdog(); });
    const GatewayLink& link = m_engine.link();
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
    m_engine.closeQuietly();
}

void SmsService::start()
{
    for (const QByteArray& line : m_engine.log().lines())
        writeLine(m_out, line, priorityOf(LogEvent::Info));
    // Names what an earlier run here sent without an answer, before any send.
    runGuarded(*this, [this] { m_engine.start(); });
    m_engine.connectToGateway();
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
    runGuarded(*this, [this] { m_engine.disconnectFromGateway(); });
    // The fates just named reach the result command before the end, for as
    // long as one command may run; what is left is named at exit.
    const ResultHook& results = m_engine.results();
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
    m_engine.log().info("Settings read again");
    const Settings& now = m_settings.values();
    if (now.serverAddress != before.serverAddress || now.serverPort != before.serverPort)
        restartLink();
}

void SmsService::restartLink()
{
    m_reconnect.stop();
    runGuarded(*this, [this] { m_engine.disconnectFromGateway(); });
    m_delaySeconds = FirstDelaySeconds;
    reconnect();
}

void SmsService::scheduleReconnect()
{
    m_reconnectQueued = false;
    const GatewayLink& link = m_engine.link();
    if (m_terminating || m_reconnect.isActive() || link.isConnected() || link.isPending())
        return;
    const int seconds = m_delaySeconds;
    m_delaySeconds = std::min(seconds * 2, LongestDelaySeconds);
    m_reconnect.start(seconds * 1000);
    m_engine.log().info("Reconnecting in " + QByteArray::number(seconds) + " s");
}

void SmsService::reconnect()
{
    runGuarded(*this, [this] { m_engine.connectToGateway(); });
}

QByteArray SmsService::priorityOf(LogEvent::Severity severity)
{
    return severity == LogEvent::Warning ? "<4>" : "<6>";
}

void SmsService::statusChanged(EngineStatus::Changes changes)
{
    const EngineStatus& status = m_engine.status();
    if (changes & EngineStatus::Counter)
        writeLine(m_out, "Counter: " + status.counter, "<6>");
    if (changes & EngineStatus::Info) {
        const QByteArray text = TextFile::splitLines(status.info).join(" | ");
        writeLine(m_out, "Info: " + (text.isEmpty() ? QByteArray("(none)") : text), "<6>");
    }
    updateStatus();
}

void SmsService::showError(const QString& text)
{
    writeLine(m_err, "Error: " + text.toLocal8Bit(), "<3>");
}

QByteArray SmsService::statusText() const
{
    const EngineStatus& status = m_engine.status();
    const QByteArray gateway = printable(status.gateway.toUtf8());
    QByteArray state;
    switch (status.link) {
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
    // 0 while the first scan of a large outbox runs.
    const qint64 queued = status.queuedTotal().value_or(0);
    QByteArray text = state + ", " + QByteArray::number(queued) + (queued == 1 ? " file" : " files")
        + " queued, counter " + (status.counter.isEmpty() ? QByteArray("not known yet") : printable(status.counter));
    // The queue's controls, only when one holds.
    if (status.paused)
        text += ", paused";
    if (status.draining)
        text += ", draining";
    if (status.sendWindowOpen == false)
        text += ", send window closed until " + status.sendWindowChangesAt.toString(QStringLiteral("HH:mm")).toLatin1();
    if (status.cappedUntil.isValid())
        text += ", capped until " + status.cappedUntil.toLocalTime().toString(QStringLiteral("HH:mm")).toLatin1();
    if (status.creditLow)
        text += ", credit low";
    return text;
}

void SmsService::updateStatus()
{
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
