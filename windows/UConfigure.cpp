#include "UConfigure.h"

#include "Branding.h"
#include "Dialogs.h"
#include "WindowLook.h"
#include "connectiontest.h"
#include "ui_UConfigure.h"

#include <QFile>
#include <QScrollBar>
#include <QTextCursor>

namespace {
// A directory field's text as path bytes, in the file system's encoding.
// Bytes that do not decode (a settings file from a single-byte desktop) come
// back as they were loaded while the field still shows them unchanged.
QByteArray pathFromField(const QString& text, const QByteArray& loaded)
{
    if (QFile::decodeName(loaded) == text)
        return loaded;
    return QFile::encodeName(text);
}
} // namespace

TFormConfigure::TFormConfigure(SettingsStore& settings, QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::TFormConfigure>())
    , m_settings(settings)
{
    ui->setupUi(this);
    setWindowIcon(Branding::windowIcon());
    // An ordinary sizeable window at its own place, not centred.
    setWindowFlags(Qt::Window);
    move(120, 90);
    resize(479, 406);

    ui->Image1->setPixmap(Branding::logo());
    WindowLook::setWhiteGround(ui->Panel1);

    m_test = std::make_unique<ConnectionTest>([this](const QByteArray& line) { appendResult(line); });
    connect(ui->Button1, &QPushButton::clicked, this, &TFormConfigure::testConnection);
    connect(ui->Button2, &QPushButton::clicked, this, &TFormConfigure::saveSettings);
    connect(ui->Button3, &QPushButton::clicked, this, &TFormConfigure::closeWindow);

    FormCreate();
}

TFormConfigure::~TFormConfigure() = default;

void TFormConfigure::FormCreate()
{
    const Settings& s = m_settings.values();
    ui->EditOutBox->setText(QFile::decodeName(s.outboxDir));
    ui->EditBckBox->setText(QFile::decodeName(s.backupDir));
    ui->EditHost->setText(QString::fromLatin1(s.serverAddress));
    ui->EditPort->setText(QString::fromLatin1(s.serverPort));
    ui->EditUserName->setText(QString::fromLatin1(s.userName));
    ui->EditUserPassword->setText(QString::fromLatin1(s.password));
    const auto key = splitUserKey(s.userKey);
    QLineEdit* const keys[] = { ui->EditKey1, ui->EditKey2, ui->EditKey3, ui->EditKey4 };
    for (int i = 0; i < 4; ++i)
        keys[i]->setText(QString::fromLatin1(key[i]));
}

Settings TFormConfigure::fieldValues() const
{
    const Settings& stored = m_settings.values();
    Settings s;
    s.outboxDir = pathFromField(ui->EditOutBox->text(), stored.outboxDir);
    s.backupDir = pathFromField(ui->EditBckBox->text(), stored.backupDir);
    s.serverAddress = ui->EditHost->text().toLatin1();
    s.serverPort = ui->EditPort->text().toLatin1();
    s.userName = ui->EditUserName->text().toLatin1();
    s.password = ui->EditUserPassword->text().toLatin1();
    s.userKey = (ui->EditKey1->text() + ui->EditKey2->text() + ui->EditKey3->text() + ui->EditKey4->text()).toLatin1();
    return s;
}

void TFormConfigure::appendResult(const QByteArray& line)
{
    // The area starts with one empty line and every result goes below the
    // last line, so the first result is the second line.
    QTextCursor cursor(ui->Memo1->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    cursor.insertText(QString::fromLatin1(line));
    ui->Memo1->verticalScrollBar()->setValue(ui->Memo1->verticalScrollBar()->maximum());
}

void TFormConfigure::testConnection()
{
    runGuarded(ErrorBoxes::instance(), [this] {
        // The window's own fields, so unsaved values can be tried.
        const Settings s = fieldValues();
        m_test->run(s.serverAddress, s.serverPort, { s.userName, s.password, s.userKey });
    });
}

void TFormConfigure::saveSettings()
{
    runGuarded(ErrorBoxes::instance(), [this] {
        m_settings.save(fieldValues());
        Q_EMIT settingsSaved();
        accept();
    });
}

void TFormConfigure::closeWindow()
{
    reject();
}
