#include "DesktopNotices.h"

#include "timestamp.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSettings>
#include <QWidget>

#include <algorithm>

namespace {
const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
const QString DefaultAction = QStringLiteral("default");

QString clockTime(const QDateTime& time)
{
    return time.toString(QStringLiteral("HH:mm:ss"));
}

QString duration(qint64 seconds)
{
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 2 * 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60);
}

QString messages(int count, const char* what)
{
    return count == 1 ? QStringLiteral("1 message %1").arg(QLatin1String(what))
                      : QStringLiteral("%1 messages %2").arg(count).arg(QLatin1String(what));
}

QSettings switchStore()
{
    // Named after the desktop entry: ~/.config/marlek-sms-sender/desktop.conf.
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(DesktopNotices::DesktopEntry),
        QStringLiteral("desktop"));
}
} // namespace

DesktopNotices::DesktopNotices(QWidget* window, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_clock(clock)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &DesktopNotices::wake);
}

bool DesktopNotices::rememberedSwitch()
{
    return switchStore().value(QStringLiteral("DesktopNotices"), true).toBool();
}

void DesktopNotices::rememberSwitch(bool on)
{
    QSettings store = switchStore();
    store.setValue(QStringLiteral("DesktopNotices"), on);
}

void DesktopNotices::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (enabled)
        return;
    // A notice whose id is still on the way is closed when it comes.
    for (KindState& state : m_kinds) {
        close(state.id);
        state = KindState();
    }
    m_lostShown = false;
    m_criticalShown = false;
    m_timer.stop();
}

void DesktopNotices::linkLost()
{
    if (m_downSince.isValid())
        return;
    m_downSince = m_clock.now();
    m_lostShown = false;
    m_criticalShown = false;
    schedule();
}

void DesktopNotices::linkBack()
{
    if (!m_downSince.isValid())
        return;
    const qint64 down = m_downSince.secsTo(m_clock.now());
    m_downSince = QDateTime();
    if (!m_lostShown) {
        schedule();
        return;
    }
    m_lostShown = false;
    m_criticalShown = false;
    // Replaces the "Link lost" notice, and goes by itself.
    send(Link,
        { QStringLiteral("Link back"),
            QStringLiteral("The link to the gateway is up again after %1.").arg(duration(down)), 1, LinkBackExpireMs,
            true },
        false);
}

void DesktopNotices::linkStopped()
{
    m_downSince = QDateTime();
    KindState& link = m_kinds[Link];
    if (m_lostShown) {
        // Its id may still be on the way.
        link.held.reset();
        if (link.awaitingId)
            link.closeOnId = true;
        else
            close(link.id);
    }
    m_lostShown = false;
    m_criticalShown = false;
    schedule();
}

void DesktopNotices::gatewaySilent()
{
    gather(Silent);
}

void DesktopNotices::messageSettled(Ledger::Outcome outcome)
{
    switch (outcome) {
    // Set aside by the operator's own age limit: nothing went wrong.
    case Ledger::Outcome::Accepted:
    case Ledger::Outcome::Expired:
        return;
    case Ledger::Outcome::Refused:
        gather(Refused);
        return;
    case Ledger::Outcome::Unanswered:
        gather(Unanswered);
        return;
    }
}

void DesktopNotices::creditLow(const QByteArray& counter)
{
    m_counter = counter;
    gather(Credit);
}

void DesktopNotices::gather(Kind kind)
{
    if (!m_enabled)
        return;
    const QDateTime now = m_clock.now();
    KindState& state = m_kinds[kind];
    if (!state.since.isValid() || state.since.secsTo(now) >= NewNoticeEverySeconds) {
        state.since = now;
        state.count = 1;
        state.updateDue = false;
        send(kind, noticeFor(kind), true);
        return;
    }
    ++state.count;
    state.updateDue = true;
    schedule();
}

DesktopNotices::Notice DesktopNotices::noticeFor(Kind kind) const
{
    const KindState& state = m_kinds[kind];
    const QString since = clockTime(state.since);
    switch (kind) {
    case Link: {
        const bool critical = m_downSince.secsTo(m_clock.now()) >= CriticalAfterSeconds;
        return { QStringLiteral("Link lost"),
            critical ? QStringLiteral("The link to the gateway has been down since %1, more than %2.")
                           .arg(clockTime(m_downSince), duration(CriticalAfterSeconds))
                     : QStringLiteral("The link to the gateway went down at %1 and is not back.")
                           .arg(clockTime(m_downSince)),
            critical ? 2 : 1 };
    }
    case Silent:
        return {
            QStringLiteral("Gateway silent"),
            state.count == 1
                ? QStringLiteral("The gateway did not answer in time, at %1.").arg(since)
                : QStringLiteral("The gateway did not answer in time, %1 times since %2.").arg(state.count).arg(since)
        };
    case Refused:
        return {
            messages(state.count, "refused"),
            QStringLiteral("Since %1. The Messages window (Status menu) tells which, and can requeue them.").arg(since)
        };
    case Unanswered:
        return { messages(state.count, "unanswered"),
            QStringLiteral("Since %1 the gateway did not answer them: they may or may not have gone.").arg(since) };
    case Credit:
        // The gateway's text goes in the summary, which is never markup.
        return { QStringLiteral("Credit low: %1").arg(QString::fromLatin1(m_counter)),
            QStringLiteral("The gateway's counter of messages left is low.") };
    case KindCount:
        break;
    }
    return {};
}

void DesktopNotices::wake()
{
    const QDateTime now = m_clock.now();
    KindState& link = m_kinds[Link];
    if (m_enabled && m_downSince.isValid()) {
        const qint64 down = m_downSince.secsTo(now);
        const bool mayBeNew = !link.since.isValid() || link.since.secsTo(now) >= NewNoticeEverySeconds;
        if (!m_lostShown && down >= LinkGraceSeconds && mayBeNew) {
            link.since = now;
            m_lostShown = true;
            m_criticalShown = down >= CriticalAfterSeconds;
            send(Link, noticeFor(Link), true);
        } else if (m_lostShown && !m_criticalShown && down >= CriticalAfterSeconds) {
            m_criticalShown = true;
            send(Link, noticeFor(Link), false);
        }
    }
    for (int kind = Silent; kind < KindCount; ++kind) {
        KindState& state = m_kinds[size_t(kind)];
        if (state.updateDue && !state.awaitingId && state.lastSent.secsTo(now) >= UpdateGapSeconds)
            flush(Kind(kind));
    }
    schedule();
}

void DesktopNotices::flush(Kind kind)
{
    m_kinds[kind].updateDue = false;
    send(kind, noticeFor(kind), false);
}

void DesktopNotices::schedule()
{
    const QDateTime now = m_clock.now();
    QDateTime next;
    auto consider = [&next](const QDateTime& at) {
        if (at.isValid() && (!next.isValid() || at < next))
            next = at;
    };
    const KindState& link = m_kinds[Link];
    if (m_enabled && m_downSince.isValid()) {
        if (!m_lostShown) {
            // Not before the grace, nor within a minute of the last new one.
            QDateTime at = m_downSince.addSecs(LinkGraceSeconds);
            if (link.since.isValid())
                at = std::max(at, link.since.addSecs(NewNoticeEverySeconds));
            consider(at);
        } else if (!m_criticalShown) {
            consider(m_downSince.addSecs(CriticalAfterSeconds));
        }
    }
    for (int kind = Silent; kind < KindCount; ++kind) {
        const KindState& state = m_kinds[size_t(kind)];
        if (state.updateDue && !state.awaitingId)
            consider(state.lastSent.addSecs(UpdateGapSeconds));
    }
    if (next.isValid())
        m_timer.start(int(std::clamp<qint64>(now.msecsTo(next), 0, 24 * 3600 * 1000)));
    else
        m_timer.stop();
}

bool DesktopNotices::listen()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!m_listening) {
        // From whoever holds the name now: a service started later counts.
        m_listening = bus.connect(
            QString(), Path, Interface, QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    }
    return true;
}

void DesktopNotices::send(Kind kind, const Notice& notice, bool fresh)
{
    if (!m_enabled)
        return;
    if (!listen()) {
        unavailable(QDBusConnection::sessionBus().lastError().message());
        return;
    }
    KindState& state = m_kinds[kind];
    if (!fresh && state.awaitingId) {
        // Its id is on the way: replaced once it is known.
        state.held = notice;
        return;
    }
    QVariantMap hints { { QStringLiteral("desktop-entry"), QLatin1String(DesktopEntry) },
        { QStringLiteral("urgency"), QVariant::fromValue(uchar(notice.urgency)) } };
    if (notice.transient)
        hints.insert(QStringLiteral("transient"), true);
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    call << QStringLiteral("MARLEK SMS Sender") << uint(fresh ? 0 : state.id) << QLatin1String(DesktopEntry)
         << notice.summary << notice.body << QStringList { DefaultAction, QStringLiteral("Show") } << hints
         << qint32(notice.expireMs);
    state.awaitingId = true;
    state.lastSent = m_clock.now();
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, kind](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<uint> reply = *done;
        KindState& state = m_kinds[kind];
        state.awaitingId = false;
        if (reply.isError()) {
            state.held.reset();
            state.closeOnId = false;
            unavailable(reply.error().message());
            return;
        }
        m_told = false;
        m_ids.insert(reply.value());
        if (!m_enabled || std::exchange(state.closeOnId, false)) {
            close(reply.value());
            return;
        }
        state.id = reply.value();
        if (state.held)
            send(kind, *std::exchange(state.held, std::nullopt), false);
        else if (state.updateDue)
            schedule();
    });
}

void DesktopNotices::close(uint id)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (id != 0 && bus.isConnected())
        bus.asyncCall(
            QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("CloseNotification")) << id);
}

void DesktopNotices::unavailable(const QString& why)
{
    if (m_told)
        return;
    m_told = true;
    Q_EMIT logLine(
        "Desktop notices: no notification service on the session bus (" + why.toLocal8Bit() + "); none are shown");
}

void DesktopNotices::actionInvoked(uint id, const QString& action)
{
    if (action != DefaultAction || !m_ids.contains(id) || !m_window)
        return;
    m_window->show();
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->raise();
    m_window->activateWindow();
}
