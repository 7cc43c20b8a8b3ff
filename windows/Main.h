#pragma once

#include "dispatchengine.h"

#include <QMainWindow>

#include <memory>

class Clock;
class DesktopNotices;
class QDialog;
class SettingsStore;
class TFormConfigure;
class TFormMessages;
class TrayIcon;
class TGoToWeb;

namespace Ui {
class TFormMain;
}

// The operator's console: starts and stops the gateway link, shows the engine
// log, the gateway's counter and info text and the lights, and opens the
// other windows. It is given the engine, built and started by the program,
// follows its status and log, and hands it the options its fields set.
class TFormMain : public QMainWindow
{
    Q_OBJECT
public:
    // Loads the settings file of the working directory into the store; a
    // missing file is told to the operator and leaves "Status" disabled.
    // The clock times the desktop notices; the system's unless given.
    TFormMain(SettingsStore& settings, DispatchEngine& engine, QWidget* parent = nullptr, const Clock* clock = nullptr);
    ~TFormMain() override;

    // The windows created after this one.
    void setConfigureWindow(TFormConfigure* window);
    void setAboutWindow(QDialog* window);
    void setTestWindow(QWidget* window);

    void setStatusMenuEnabled(bool enabled);
    bool statusMenuEnabled() const;

    DispatchEngine& engine() { return m_engine; }
    TGoToWeb& goToWeb() { return *GoToWeb1; }
    // Told the events worth a desktop notice.
    DesktopNotices& notices() { return *m_notices; }
    TrayIcon& tray() { return *m_tray; }
    // The Messages window, once opened.
    TFormMessages* messagesWindow() const { return m_messages; }

Q_SIGNALS:
    // The window was closed: the program ends.
    void closed();

public Q_SLOTS:
    // Status menu "Start" and "Stop".
    void startLink();
    void stopLink();
    // Ends the program, also where closing the window hides it in the tray.
    void quit();
    // The poll field was left: under 200 ms is refused.
    void checkPollField();
    // "Save" turns the log file fields on and off.
    void saveLogToggled();
    // The operator edited the log.
    void takeOperatorLog();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void wireMenus();
    void scheduleOperatorLogSync();
    // The fields' values into the engine's options.
    void applyFields();
    void showStatus(EngineStatus::Changes changes);
    void appendLogLine(const QByteArray& line);
    void setConnectionLights(bool green);

    std::unique_ptr<Ui::TFormMain> ui;
    SettingsStore& m_settings;
    DispatchEngine& m_engine;
    TGoToWeb* GoToWeb1 = nullptr;
    TFormConfigure* m_configure = nullptr;
    QDialog* m_about = nullptr;
    QWidget* m_test = nullptr;
    const Clock& m_clock;
    DesktopNotices* m_notices = nullptr;
    TrayIcon* m_tray = nullptr;
    bool m_quitting = false;
    bool m_creditLowTold = false;
    TFormMessages* m_messages = nullptr;
    // Set while the engine itself changes the log's text, so its own
    // changes are not taken for the operator's typing.
    bool m_engineWritesLog = false;
    bool m_operatorSyncQueued = false;
};
