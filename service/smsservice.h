#pragma once

#include "dispatchengine.h"
#include "errorroute.h"
#include "smsdoptions.h"

#include <QObject>
#include <QTimer>

#include <cstdio>

class SettingsStore;

// The dispatch engine run without windows: engine log lines, the gateway's
// counter and info text go to standard output one line each, errors to
// standard error. Where the window waits for the operator, the service
// connects again by itself after a lost connection. Under systemd it tells
// its readiness, state and liveness (ServiceNotify), and a stream that is
// the journal gets each line's priority.
class SmsService : public QObject, public ErrorPresenter
{
    Q_OBJECT
public:
    static constexpr int FirstDelaySeconds = 1;
    static constexpr int LongestDelaySeconds = 60;

    SmsService(SettingsStore& settings, const SmsdOptions& options, std::FILE* out = stdout, std::FILE* err = stderr,
        QObject* parent = nullptr);
    ~SmsService() override;

    // Starts the engine in the working directory (call it holding the
    // folder's WorkdirLock), then connects to the configured gateway; throws
    // what connecting throws (a bad port number). Then tells systemd it is
    // ready, without waiting for the gateway, and starts the watchdog pings.
    void start();

    // Stops the link as the window's Stop does, so that messages still
    // waiting for a reply are named, then ends the event loop with 0.
    void terminate();

    // Reads the settings file again. A file that is missing, short or has a
    // bad port is reported and the settings in use are kept. New values
    // apply from the next tick; a changed address or port reconnects now.
    // systemd hears of the reload and, either way, of the end of it.
    void reload();

    // The journal's priority prefix for a log line of this severity.
    static QByteArray priorityOf(LogEvent::Severity severity);

    DispatchEngine& engine() { return m_engine; }

    // ErrorPresenter
    void showError(const QString& text) override;

private:
    void reloadSettings();
    void scheduleReconnect();
    void reconnect();
    void restartLink();
    void statusChanged(EngineStatus::Changes changes);
    void writeLine(std::FILE* to, const QByteArray& line, const QByteArray& priority);
    // The state systemd shows: link, files queued, counter; sent on change.
    void updateStatus();
    QByteArray statusText() const;

    SettingsStore& m_settings;
    std::FILE* m_out;
    std::FILE* m_err;
    // Streams that are the journal take a priority prefix on each line.
    bool m_outIsJournal;
    bool m_errIsJournal;
    DispatchEngine m_engine;
    QTimer m_reconnect;
    QTimer m_watchdog;
    QByteArray m_status;
    int m_delaySeconds = FirstDelaySeconds;
    bool m_reconnectQueued = false;
    bool m_terminating = false;
};
