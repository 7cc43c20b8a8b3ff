#include "Main.h"

#include "Branding.h"
#include "DesktopNotices.h"
#include "Dialogs.h"
#include "GoToWeb.h"
#include "TrayIcon.h"
#include "UConfigure.h"
#include "UMessages.h"
#include "WindowLook.h"
#include "errorroute.h"
#include "intparse.h"
#include "settings.h"
#include "textfile.h"
#include "timestamp.h"
#include "ui_Main.h"

#include <QCloseEvent>
#include <QDialog>
#include <QFocusEvent>
#include <QHash>
#include <QScopedValueRollback>
#include <QStringDecoder>
#include <QTimer>

namespace {
// An engine log line as shown. Lines may carry file names in the file
// system's encoding (UTF-8 here); anything else is single-byte text.
QString logLineText(const QByteArray& line)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(line);
    return utf8.hasError() ? QString::fromLatin1(line) : text;
}

void setColours(QWidget* w, const QColor& base, const QColor& text)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::Text, text);
    w->setPalette(p);
}
} // namespace

TFormMain::TFormMain(SettingsStore& settings, DispatchEngine& engine, QWidget* parent, const Clock* clock)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::TFormMain>())
    , m_settings(settings)
    , m_engine(engine)
    , m_clock(clock ? *clock : Clock::system())
{
    ui->setupUi(this);
    setWindowIcon(Branding::windowIcon());
    GoToWeb1 = new TGoToWeb(this);
    GoToWeb1->setObjectName(QStringLiteral("GoToWeb1"));
    GoToWeb1->setUrl(Branding::operatorUrl());
    GoToWeb1->setEMail(Branding::email());
    GoToWeb1->setBrowserState(gwNormal);
    m_notices = new DesktopNotices(this, m_clock, this);

    // A fixed console: no minimise or maximise, and no resizing.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
        | Qt::MSWindowsFixedSizeDialogHint);
    ui->centralwidget->setFixedSize(437, 420);
    setFixedSize(437, 420 + menuBar()->sizeHint().height());

    ui->Image1->setPixmap(Branding::logo());
    WindowLook::setWhiteGround(ui->Panel2);
    ui->StaticText1->setText(Branding::webAddress());
    setColours(ui->Memo2, Qt::black, QColor(0x00, 0xff, 0x00));
    setColours(ui->Memo1, Qt::black, QColor(0x00, 0xff, 0xff));
    setConnectionLights(false);
    ui->Shape3->setClear();
    for (QLabel* label : { ui->Label1, ui->Label2, ui->Label5, ui->Label6 })
        label->setAccessibleName(label->text());

    wireMenus();
    connect(ui->CheckBox1, &QCheckBox::toggled, this, &TFormMain::saveLogToggled);
    connect(ui->Memo1, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_engineWritesLog)
            scheduleOperatorLogSync();
    });
    ui->Edit3->installEventFilter(this);

    // The engine reads the fields as the operator leaves them, from the next
    // line, tick or log-in on.
    connect(ui->Edit2, &QLineEdit::textChanged, this, &TFormMain::applyFields);
    connect(ui->Edit3, &QLineEdit::textChanged, this, &TFormMain::applyFields);
    connect(ui->CheckBox1, &QCheckBox::toggled, this, &TFormMain::applyFields);
    connect(ui->ViewActions1, &QAction::toggled, this, &TFormMain::applyFields);
    applyFields();
    connect(&m_engine.log(), &EngineLog::appended, this, [this](const LogEvent& event) { appendLogLine(event.text); });
    connect(&m_engine.log(), &EngineLog::cleared, this, [this] {
        const QScopedValueRollback<bool> engineWrites(m_engineWritesLog, true);
        ui->Memo1->clear();
    });
    connect(&m_engine, &DispatchEngine::statusChanged, this, &TFormMain::showStatus);
    // A drain asked for ends as Stop does.
    connect(&m_engine, &DispatchEngine::drained, this, &TFormMain::stopLink);

    // What the desktop is told while the window is out of sight.
    const GatewayLink& link = m_engine.link();
    connect(&link, &GatewayLink::closed, m_notices, [this](CloseReason reason) {
        if (reason == CloseReason::Stopped)
            m_notices->linkStopped();
        else
            m_notices->linkLost();
    });
    connect(&link, &GatewayLink::loggedInToGateway, m_notices, &DesktopNotices::linkBack);
    connect(&link, &GatewayLink::answerTimedOut, m_notices, &DesktopNotices::gatewaySilent);
    connect(&m_engine.inflight(), &InFlight::messageSettled, m_notices,
        [this](const MessageFate& fate) { m_notices->messageSettled(Ledger::Outcome(fate.outcome)); });
    m_tray = new TrayIcon(*this, m_engine, this);

    FormCreate();
}

TFormMain::~TFormMain()
{
    m_engine.closeQuietly();
}

void TFormMain::applyFields()
{
    EngineOptions options = m_engine.options();
    options.lineLimit = OptionNumber::fromText(ui->Edit2->text().toLatin1());
    options.saveLog = ui->CheckBox1->isChecked();
    options.pollInterval = OptionNumber::fromText(ui->Edit3->text().toLatin1());
    options.logFoundFiles = ui->ViewActions1->isChecked();
    m_engine.configure(options);
}

void TFormMain::FormCreate()
{
    runGuarded(ErrorBoxes::instance(), [this] {
        if (!m_settings.load()) {
            setStatusMenuEnabled(false);
            Dialogs::instance().showMessage(this,
                QStringLiteral("Attenzione Programma non configurato... Utilizzate il menu <Settings> "
                               "<Configure Connections> "));
        }
    });
}

void TFormMain::wireMenus()
{
    connect(ui->Exit1, &QAction::triggered, this, &TFormMain::quit);
    connect(ui->ConfigureConnection1, &QAction::triggered, this, [this] {
        if (m_configure)
            m_configure->exec();
    });
    connect(ui->SMSTest1, &QAction::triggered, this, [this] {
        if (m_test) {
            m_test->show();
            m_test->raise();
            m_test->activateWindow();
        }
    });
    // Both open the gateway operator's site; a browser that does not start
    // is not reported.
    connect(ui->BuySMS1, &QAction::triggered, this, [this] { GoToWeb1->OpenUrl(); });
    connect(ui->MARLEKWebSite1, &QAction::triggered, this, [this] { GoToWeb1->OpenUrl(); });
    connect(ui->ReleaseInfo1, &QAction::triggered, this, [this] {
        if (m_about)
            m_about->exec();
    });
    connect(ui->Start1, &QAction::triggered, this, &TFormMain::startLink);
    connect(ui->Stop1, &QAction::triggered, this, &TFormMain::stopLink);
    // "View Actions" is checkable: Qt turns its mark over on each click.
    connect(ui->Messages1, &QAction::triggered, this, [this] {
        // Made when first asked for: it reads nothing until then.
        if (!m_messages)
            m_messages = new TFormMessages(m_settings, this, &m_clock);
        m_messages->show();
        m_messages->raise();
        m_messages->activateWindow();
    });
    ui->DesktopNotices1->setChecked(DesktopNotices::rememberedSwitch());
    m_notices->setEnabled(ui->DesktopNotices1->isChecked());
    connect(ui->DesktopNotices1, &QAction::toggled, this, [this](bool on) {
        m_notices->setEnabled(on);
        DesktopNotices::rememberSwitch(on);
    });
    connect(m_notices, &DesktopNotices::logLine, this, [this](const QByteArray& line) { m_engine.log().info(line); });
}

void TFormMain::setConfigureWindow(TFormConfigure* window)
{
    m_configure = window;
    if (window)
        connect(window, &TFormConfigure::settingsSaved, this, [this] { setStatusMenuEnabled(true); });
}

void TFormMain::setAboutWindow(QDialog* window)
{
    m_about = window;
}

void TFormMain::setTestWindow(QWidget* window)
{
    m_test = window;
}

void TFormMain::setStatusMenuEnabled(bool enabled)
{
    ui->Status1->menuAction()->setEnabled(enabled);
    if (m_tray)
        m_tray->update();
}

bool TFormMain::statusMenuEnabled() const
{
    return ui->Status1->menuAction()->isEnabled();
}

void TFormMain::startLink()
{
    runGuarded(ErrorBoxes::instance(), [this] { m_engine.connectToGateway(); });
}

void TFormMain::stopLink()
{
    runGuarded(ErrorBoxes::instance(), [this] { m_engine.disconnectFromGateway(); });
}

void TFormMain::checkPollField()
{
    runGuarded(ErrorBoxes::instance(), [this] {
        if (parseInteger(ui->Edit3->text().toLatin1()) < EngineOptions::MinimumPollMs) {
            Dialogs::instance().showMessage(this, QStringLiteral("NOT Less Than 200 MSec."));
            ui->Edit3->setText(QStringLiteral("1000"));
        }
    });
}

void TFormMain::saveLogToggled()
{
    const bool save = ui->CheckBox1->isChecked();
    ui->Edit1->setEnabled(save);
    ui->Edit2->setEnabled(save);
}

void TFormMain::scheduleOperatorLogSync()
{
    // Once per burst of typing or pasting, after the edit has settled.
    if (m_operatorSyncQueued)
        return;
    m_operatorSyncQueued = true;
    QTimer::singleShot(0, this, &TFormMain::takeOperatorLog);
}

void TFormMain::takeOperatorLog()
{
    m_operatorSyncQueued = false;
    QString text = ui->Memo1->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    // Lines still shown as the engine wrote them keep their bytes, so a file
    // name in the log stays byte for byte; what the operator typed is
    // single-byte text. Line ends are ASCII, so UTF-8 splits like Latin-1.
    // Lines that look alike are taken in their order.
    QHash<QString, QList<QByteArray>> written;
    for (const QByteArray& line : m_engine.log().lines())
        written[logLineText(line)].append(line);
    QList<QByteArray> lines;
    for (const QByteArray& shown : TextFile::splitLines(text.toUtf8())) {
        const QString line = QString::fromUtf8(shown);
        auto same = written.find(line);
        lines.append(same != written.end() && !same->isEmpty() ? same->takeFirst() : line.toLatin1());
    }
    m_engine.log().setLinesFromOperator(lines);
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->Edit3 && event->type() == QEvent::FocusOut) {
        // Only a move to another control leaves the field; the window losing
        // activation, a context menu or the menu bar do not.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && reason != Qt::MenuBarFocusReason)
            QTimer::singleShot(0, this, &TFormMain::checkPollField);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFormMain::quit()
{
    m_quitting = true;
    close();
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    // With a tray the sender goes on there; without one, closing ends it.
    if (!m_quitting && m_tray->shown()) {
        event->ignore();
        hide();
        m_tray->windowHidden();
        return;
    }
    m_engine.closeQuietly();
    event->accept();
    Q_EMIT closed();
}

void TFormMain::appendLogLine(const QByteArray& line)
{
    const QScopedValueRollback<bool> engineWrites(m_engineWritesLog, true);
    ui->Memo1->appendPlainText(logLineText(line));
}

void TFormMain::showStatus(EngineStatus::Changes changes)
{
    const EngineStatus& status = m_engine.status();
    if (changes & EngineStatus::Counter)
        ui->Panel1->setText(QString::fromLatin1(status.counter));
    // The gateway's text goes in as plain lines, never as markup.
    if (changes & EngineStatus::Info)
        ui->Memo2->setPlainText(QString::fromLatin1(TextFile::splitLines(status.info).join('\n')));
    if (changes & (EngineStatus::Link | EngineStatus::Polling)) {
        setConnectionLights(status.lightsGreen());
        ui->Start1->setEnabled(!status.polling);
        ui->Stop1->setEnabled(status.polling);
    }
    if (changes & EngineStatus::Control) {
        // Once a fall, as the log says it.
        if (status.creditLow && !m_creditLowTold)
            m_notices->creditLow(status.counter);
        m_creditLowTold = status.creditLow;
    }
    if (changes & EngineStatus::Tick) {
        TShape* light = ui->Shape3;
        if (light->isFilled() && light->brushColor() == QColor(Qt::blue))
            light->setBrushColor(palette().color(QPalette::Button));
        else
            light->setBrushColor(Qt::blue);
    }
}

void TFormMain::setConnectionLights(bool green)
{
    const QColor colour = green ? QColor(Qt::green) : QColor(Qt::red);
    const QString state = green ? QStringLiteral("green") : QStringLiteral("red");
    for (TShape* light : { ui->Shape1, ui->Shape2 }) {
        light->setBrushColor(colour);
        light->setAccessibleDescription(state);
    }
}
