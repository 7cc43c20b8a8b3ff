#pragma once

#include "enginestatus.h"

#include <QColor>
#include <QObject>
#include <QString>

class DispatchEngine;
class QAction;
class QMenu;
class QSystemTrayIcon;
class TFormMain;

// The sender in the desktop's tray, where there is one: a light that follows
// the link and a pause (green logged in, amber connecting or paused, red
// down), a tooltip with the link, the counter, the files queued and the last
// fate, and a menu with Show, Start, Stop, Pause or Resume and Quit, enabled
// as the main window's items are. With a tray, closing the main window hides
// it there.
class TrayIcon : public QObject
{
    Q_OBJECT
public:
    TrayIcon(TFormMain& window, DispatchEngine& engine, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Whether the desktop shows a tray now.
    static bool available();

    // What the tray shows for a status; the last fate as the ledger names it.
    static QColor colour(const EngineStatus& status);
    static QString toolTip(const EngineStatus& status, const QString& lastFate);

    QMenu* menu() const { return m_menu; }
    // Says once, the first time the window goes to the tray, where it went.
    void windowHidden();
    // Shows the status and the main window's enabling as they now stand.
    void update();
    // Whether an icon is in the tray.
    bool shown() const { return m_icon != nullptr; }

private:
    TFormMain& m_window;
    DispatchEngine& m_engine;
    QString m_lastFate;
    bool m_hiddenTold = false;
    // None where the desktop has no tray; the menu is there all the same.
    QSystemTrayIcon* m_icon = nullptr;
    QColor m_shownColour;
    QMenu* m_menu = nullptr;
    // The items whose enabling follows the main window's.
    QAction* m_start = nullptr;
    QAction* m_stop = nullptr;
    QAction* m_pause = nullptr;
};
