#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QTimer>

class Clock;
class EngineLog;
class ErrorPresenter;
class GatewayLink;
class InFlight;
class Outbox;
class QueueGate;
class SettingsStore;
struct EngineOptions;
struct Settings;

// The polling timer and its tick, which sends at most one outbox file. The
// timer runs from the link's first reply until the link closes, at the
// interval chosen at log-in.
class PollingTick : public QObject
{
    Q_OBJECT
public:
    PollingTick(SettingsStore& settings, const EngineOptions& options, Outbox& outbox, GatewayLink& link,
        EngineLog& log, ErrorPresenter& presenter, const Clock& clock, InFlight& inflight, QueueGate& gate,
        QObject* parent = nullptr);

    // One tick. Throws what reading the file throws; the file is then passed
    // over until it changes, so the files behind it can go. Throws when the
    // journal cannot be written; the file then stays and nothing is sent.
    // While as many records wait for replies as may, or the queue's controls
    // hold it back, no file is taken. A file that waited too long is set
    // aside as expired, never sent.
    // A file another sender on the outbox took first is passed by silently
    // for the next one, up to TakeAttempts files a tick.
    void runOnce();

    bool polling() const { return m_timer.isActive(); }
    int interval() const { return m_timer.interval(); }
    // Program end: the timer stops without a word.
    void halt() { setPolling(false); }

    static constexpr int TakeAttempts = 4;

Q_SIGNALS:
    // A tick begins.
    void ticked();
    // A tick of the timer has run to its end.
    void tickDone();
    void pollingChanged(bool polling);

private:
    // False, having logged and sent nothing, when another sender took the
    // file first.
    bool sendFile(const Settings& s, const QByteArray& name);
    // A backup name later than the last one moved.
    QDateTime nextBackupTime() const;
    void setPolling(bool on);

    SettingsStore& m_settings;
    const EngineOptions& m_options;
    Outbox& m_outbox;
    GatewayLink& m_link;
    EngineLog& m_log;
    const Clock& m_clock;
    InFlight& m_inflight;
    QueueGate& m_gate;
    QTimer m_timer;
    QSet<QByteArray> m_moveFailReported;
    // The time the last backup name was made from; the next is later.
    QDateTime m_lastBackup;
};
