#include "TrayIcon.h"

#include "Main.h"
#include "dispatchengine.h"
#include "ledger.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace {
QIcon light(const QColor& colour)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 2));
    p.setBrush(colour);
    p.drawEllipse(3, 3, 26, 26);
    return QIcon(pixmap);
}
} // namespace

TrayIcon::TrayIcon(TFormMain& window, DispatchEngine& engine, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_engine(engine)
{
    m_menu = new QMenu(&window);
    m_menu->setObjectName(QStringLiteral("TrayMenu"));
    QAction* show = m_menu->addAction(QStringLiteral("Show"));
    connect(show, &QAction::triggered, &window, [this] {
        m_window.show();
        m_window.raise();
        m_window.activateWindow();
    });
    m_start = m_menu->addAction(QStringLiteral("Start"));
    connect(m_start, &QAction::triggered, &window, &TFormMain::startLink);
    m_stop = m_menu->addAction(QStringLiteral("Stop"));
    connect(m_stop, &QAction::triggered, &window, &TFormMain::stopLink);
    m_pause = m_menu->addAction(QStringLiteral("Pause"));
    connect(m_pause, &QAction::triggered, this, [this] { m_engine.gate().setPaused(!m_engine.status().paused); });
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("Quit"));
    connect(quit, &QAction::triggered, &window, &TFormMain::quit);
    for (QAction* a : m_menu->actions())
        a->setObjectName(QStringLiteral("Tray") + a->text());

    connect(&engine, &DispatchEngine::statusChanged, this, &TrayIcon::update);
    connect(&engine.inflight(), &InFlight::messageSettled, this, [this](const MessageFate& fate) {
        m_lastFate = QString::fromLatin1(MessageFate::outcomeName(fate.outcome)) + QLatin1Char(' ')
            + QString::fromLocal8Bit(fate.outboxName);
        update();
    });
    if (available()) {
        m_icon = new QSystemTrayIcon(this);
        m_icon->setContextMenu(m_menu);
        connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                m_window.show();
                m_window.raise();
                m_window.activateWindow();
            }
        });
        m_icon->show();
    }
    update();
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::available()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QColor TrayIcon::colour(const EngineStatus& status)
{
    if (status.link == LinkState::Disconnected)
        return Qt::red;
    if (status.link == LinkState::Connecting || status.paused)
        return QColor(0xff, 0xbf, 0x00);
    return Qt::green;
}

QString TrayIcon::toolTip(const EngineStatus& status, const QString& lastFate)
{
    QString link;
    switch (status.link) {
    case LinkState::Disconnected:
        link = QStringLiteral("Disconnected");
        break;
    case LinkState::Connecting:
        link = QStringLiteral("Connecting to %1").arg(status.gateway);
        break;
    case LinkState::LoggedIn:
        link = QStringLiteral("Logged in to %1").arg(status.gateway);
        break;
    }
    if (status.paused)
        link += QStringLiteral(", paused");
    const std::optional<qint64> queued = status.queuedTotal();
    QStringList lines { QStringLiteral("MARLEK SMS Sender"), link,
        QStringLiteral("Counter: %1")
            .arg(status.counter.isEmpty() ? QStringLiteral("not known yet") : QString::fromLatin1(status.counter)),
        queued ? QStringLiteral("Files queued: %1").arg(*queued) : QStringLiteral("Files queued: counting") };
    if (!lastFate.isEmpty())
        lines.append(QStringLiteral("Last: %1").arg(lastFate));
    return lines.join(QLatin1Char('\n'));
}

void TrayIcon::windowHidden()
{
    if (std::exchange(m_hiddenTold, true) || !m_icon)
        return;
    m_icon->showMessage(QStringLiteral("MARLEK SMS Sender"),
        QStringLiteral("The sender goes on in the tray. Quit it from the tray's menu."), QSystemTrayIcon::Information,
        8000);
}

void TrayIcon::update()
{
    const EngineStatus& status = m_engine.status();
    // As the main window's Status menu offers them.
    const bool statusOn = m_window.statusMenuEnabled();
    m_start->setEnabled(statusOn && !status.polling);
    m_stop->setEnabled(statusOn && status.polling);
    m_pause->setText(status.paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    m_pause->setEnabled(statusOn);
    if (!m_icon)
        return;
    const QColor c = colour(status);
    if (c != m_shownColour) {
        m_shownColour = c;
        m_icon->setIcon(light(c));
    }
    m_icon->setToolTip(toolTip(status, m_lastFate));
}
