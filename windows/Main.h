#pragma once

#include "dispatchengine.h"
#include "operatorview.h"

#include <QMainWindow>

#include <memory>

class Clock;
class DesktopNotices;
class QDialog;
class SettingsStore;
class TFormConfigure;
class TFormMessages;
class TGoToWeb;

namespace Ui {
class TFormMain;
}

// The operator's console: starts and stops the gateway link, shows the engine
// log, the gateway's counter and info text and the lights, and opens the
// other windows. It owns the dispatch engine for the whole run.
class TFormMain : public QMainWindow, public OperatorView
{
    Q_OBJECT
public:
    // Loads the settings file of the working directory into the store; a
    // missing file is told to the operator and leaves "Status" disabled.
    explicit TFormMain(SettingsStore& settings, QWidget* parent = nullptr, const Clock* clock = nullptr);
    ~TFormMain() override;

    // The windows created after this one.
    void setConfigureWindow(TFormConfigure* window);
    void setAboutWindow(QDialog* window);
    void setTestWindow(QWidget* window);

    void setStatusMenuEnabled(bool enabled);
    bool statusMenuEnabled() const;

    DispatchEngine& engine() { return *m_engine; }
    TGoToWeb& goToWeb() { return *GoToWeb1; }
    // Told the events worth a desktop notice.
    DesktopNotices& notices() { return *m_notices; }
    // The Messages window, once opened.
    TFormMessages* messagesWindow() const { return m_messages; }

    // OperatorView
    void logLineAppended(const QByteArray& line) override;
    void logCleared() override;
    QByteArray lineLimitText() const override;
    bool saveLogChecked() const override;
    QByteArray pollIntervalText() const override;
    bool viewActionsChecked() const override;
    void setCounterText(const QByteArray& counter) override;
    void setInfoText(const QByteArray& info) override;
    void setConnectionLights(bool green) override;
    void setStartEnabled(bool enabled) override;
    void setStopEnabled(bool enabled) override;
    void toggleActivityLight() override;
    void showError(const QString& text) override;

Q_SIGNALS:
    // The window was closed: the program ends.
    void closed();

public Q_SLOTS:
    void Start1Click();
    void Stop1Click();
    void Edit3Exit();
    void CheckBox1Click();
    void Memo1Change();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void wireMenus();
    void scheduleOperatorLogSync();

    std::unique_ptr<Ui::TFormMain> ui;
    SettingsStore& m_settings;
    std::unique_ptr<DispatchEngine> m_engine;
    TGoToWeb* GoToWeb1 = nullptr;
    TFormConfigure* m_configure = nullptr;
    QDialog* m_about = nullptr;
    QWidget* m_test = nullptr;
    const Clock& m_clock;
    DesktopNotices* m_notices = nullptr;
    TFormMessages* m_messages = nullptr;
    // Set while the engine itself changes the log's text, so its own
    // changes are not taken for the operator's typing.
    bool m_engineWritesLog = false;
    bool m_operatorSyncQueued = false;
};
