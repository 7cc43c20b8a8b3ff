#pragma once

#include "dispatchengine.h"
#include "operatorview.h"
#include "smsdoptions.h"

#include <QObject>
#include <QTimer>

#include <cstdio>
#include <memory>

class SettingsStore;

// The dispatch engine run without windows: engine log lines, the gateway's
// counter and info text go to standard output one line each, errors to
// standard error. Where the window waits for the operator, the service
// connects again by itself after a lost connection. Under systemd it tells
// its readiness, state and liveness (ServiceNotify), and a stream that is
// the journal gets each line's priority.
class SmsService : public QObject, public OperatorView
{
    Q_OBJECT
public:
    static constexpr int FirstDelaySeconds = 1;
    static constexpr int LongestDelaySeconds = 60;

    SmsService(SettingsStore& settings, const SmsdOptions& options, std::FILE* out = stdout, std::FILE* err = stderr,
        QObject* parent = nullptr);
    ~SmsService() override;

    // Opens the crash journal of the working directory (call it holding the
    // folder's WorkdirLock), then connects to the configured gateway; throws
    // what Start throws (a bad port number). Then tells systemd it is ready,
    // without waiting for the gateway, and starts the watchdog pings.
    void start();

    // Stops the link as the window's Stop does, so that messages still
    // waiting for a reply are named, then ends the event loop with 0.
    void terminate();

    // Reads the settings file again. A file that is missing, short or has a
    // bad port is reported and the settings in use are kept. New values
    // apply from the next tick; a changed address or port reconnects now.
    // systemd hears of the reload and, either way, of the end of it.
    void reload();

    // The journal's priority prefix for a line of the engine log:
    // "<4>" for those that tell of a message or connection in trouble,
    // "<6>" for the rest.
    static QByteArray priorityOf(const QByteArray& line);

    DispatchEngine& engine() { return *m_engine; }

    // OperatorView
    void logLineAppended(const QByteArray& line) override;
    void logCleared() override { }
    QByteArray lineLimitText() const override;
    bool saveLogChecked() const override;
    QByteArray pollIntervalText() const override;
    bool viewActionsChecked() const override { return true; }
    void setCounterText(const QByteArray& counter) override;
    void setInfoText(const QByteArray& info) override;
    void setConnectionLights(bool) override { }
    void setStartEnabled(bool) override { }
    void setStopEnabled(bool) override { }
    void toggleActivityLight() override;
    void showError(const QString& text) override;

private:
    void reloadSettings();
    void scheduleReconnect();
    void reconnect();
    void restartLink();
    void writeLine(std::FILE* to, const QByteArray& line, const QByteArray& priority);
    // The state systemd shows: link, files queued, counter; sent on change.
    void updateStatus();
    QByteArray statusText();
    qsizetype queuedFiles();

    SettingsStore& m_settings;
    const SmsdOptions m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    // Streams that are the journal take a priority prefix on each line.
    bool m_outIsJournal;
    bool m_errIsJournal;
    std::unique_ptr<DispatchEngine> m_engine;
    QTimer m_reconnect;
    QTimer m_watchdog;
    // Runs the status update after a tick, once the tick has changed the queue.
    QTimer m_afterTick;
    QByteArray m_status;
    int m_delaySeconds = FirstDelaySeconds;
    bool m_reconnectQueued = false;
    bool m_terminating = false;
    QByteArray m_counter;
    QByteArray m_info;
};
