#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSet>

class Clock;
class EngineLog;
class GatewayLink;
class Outbox;
class OperatorView;
class InFlight;
class SettingsStore;
struct Settings;

// One tick of the polling timer: blink the activity light and send at most
// one outbox file.
class PollingTick
{
public:
    PollingTick(SettingsStore& settings, Outbox& outbox, GatewayLink& link, EngineLog& log, OperatorView& view,
        const Clock& clock, InFlight& inflight);

    // Throws what reading the file throws; the file is then passed over
    // until it changes, so the files behind it can go. Throws when the
    // journal cannot be written; the file then stays and nothing is sent.
    // While as many records wait for replies as may, no file is taken.
    // A file another sender on the outbox took first is passed by silently
    // for the next one, up to TakeAttempts files a tick.
    void Timer1Timer();

    static constexpr int TakeAttempts = 4;

private:
    // False, having logged and sent nothing, when another sender took the
    // file first.
    bool sendFile(const Settings& s, const QByteArray& name);

    SettingsStore& m_settings;
    Outbox& m_outbox;
    GatewayLink& m_link;
    EngineLog& m_log;
    OperatorView& m_view;
    const Clock& m_clock;
    InFlight& m_inflight;
    QSet<QByteArray> m_moveFailReported;
    // The time the last backup name was made from; the next is later.
    QDateTime m_lastBackup;
};
