#pragma once

#include "ledger.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <array>
#include <optional>

class Clock;
class QWidget;

// Tells the operator through the desktop's notification service
// (org.freedesktop.Notifications on the session bus) what went wrong while
// the window is out of sight. Each kind of notice has one notice at a time:
// events of a kind within a minute of its notice are gathered into it
// (replacing it), so a kind gets at most one new notice a minute. Clicking a
// notice raises the main window. Without a service nothing is shown, and the
// host is told once. Time is read from the clock; the timer only wakes it.
class DesktopNotices : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* DesktopEntry = "marlek-sms-sender";
    static constexpr qint64 LinkGraceSeconds = 30; // a link back this soon goes untold
    static constexpr qint64 CriticalAfterSeconds = 5 * 60; // a link down this long is critical
    static constexpr qint64 NewNoticeEverySeconds = 60;
    static constexpr qint64 UpdateGapSeconds = 5; // a gathered notice is replaced at most this often
    static constexpr int LinkBackExpireMs = 8000;

    // window: raised by a notice's default action.
    explicit DesktopNotices(QWidget* window, const Clock& clock, QObject* parent = nullptr);

    // Off: nothing is sent, and the notices shown are closed.
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }

    // The operator's switch, in the user's configuration folder (XDG); on
    // when never set.
    static bool rememberedSwitch();
    static void rememberSwitch(bool on);

    // The events, as they happen.
    // The link went down without the operator's Stop, and came back.
    void linkLost();
    void linkBack();
    // The operator stopped the link: nothing to tell, and a "Link lost"
    // notice shown goes.
    void linkStopped();
    // The answer timeout ran out.
    void gatewaySilent();
    void messageSettled(Ledger::Outcome outcome);
    // The credit fell below its mark; counter as the gateway gave it.
    void creditLow(const QByteArray& counter);

public Q_SLOTS:
    // Sends what has come due by the clock. The timer calls it; a test that
    // moves its clock calls it too.
    void wake();

Q_SIGNALS:
    // A line for the engine log: no service to show the notices.
    void logLine(const QByteArray& line);

private Q_SLOTS:
    void actionInvoked(uint id, const QString& action);

private:
    enum Kind { Link, Silent, Refused, Unanswered, Credit, KindCount };
    struct Notice
    {
        QString summary;
        QString body;
        int urgency = 1; // 0 low, 1 normal, 2 critical
        int expireMs = -1; // the service's default
        bool transient = false;
    };
    struct KindState
    {
        uint id = 0; // the service's id of its notice; 0: none yet
        bool awaitingId = false;
        QDateTime since; // when its current notice began; invalid: none
        QDateTime lastSent;
        int count = 0; // events gathered into the current notice
        bool updateDue = false; // gathered events not shown yet
        std::optional<Notice> held; // replaces the notice once its id is known
        bool closeOnId = false; // closed once its id is known
    };

    void gather(Kind kind);
    Notice noticeFor(Kind kind) const;
    void send(Kind kind, const Notice& notice, bool fresh);
    void flush(Kind kind);
    void schedule();
    void close(uint id);
    void unavailable(const QString& why);
    bool listen();

    QPointer<QWidget> m_window;
    const Clock& m_clock;
    bool m_enabled = true;
    bool m_listening = false;
    bool m_told = false;
    std::array<KindState, KindCount> m_kinds;
    QSet<uint> m_ids; // every notice of this run, for their actions
    // The link: down since, and what its notice says.
    QDateTime m_downSince;
    bool m_lostShown = false;
    bool m_criticalShown = false;
    QByteArray m_counter;
    QTimer m_timer;
};
