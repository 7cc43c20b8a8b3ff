#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>

// A notification service made for the test, on a connection of its own to
// the private session bus the test runs on: it records every call.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call
    {
        uint replaces = 0;
        uint id = 0;
        QString app, icon, summary, body;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
    };

    FakeNotifications()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-notifications")))
    {
    }
    ~FakeNotifications() override
    {
        stop();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    }
    bool start()
    {
        return m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
            && m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    void stop()
    {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    }
    QStringList summaries() const
    {
        QStringList s;
        for (const Call& c : calls)
            s << c.summary;
        return s;
    }
    // Calls that made a new notice rather than replacing one.
    qsizetype fresh() const
    {
        return std::count_if(calls.cbegin(), calls.cend(), [](const Call& c) { return c.replaces == 0; });
    }

    QList<Call> calls;
    QList<uint> closed;

public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
        const QStringList& actions, const QVariantMap& hints, int timeout)
    {
        const uint id = replaces != 0 ? replaces : ++m_lastId;
        calls.append({ replaces, id, app, icon, summary, body, actions, hints, timeout });
        return id;
    }
    void CloseNotification(uint id) { closed.append(id); }
    QStringList GetCapabilities() { return { QStringLiteral("actions"), QStringLiteral("body") }; }

Q_SIGNALS:
    void ActionInvoked(uint id, const QString& action);

private:
    QDBusConnection m_bus;
    uint m_lastId = 0;
};
