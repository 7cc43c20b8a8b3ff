#include "UTest.h"

#include "Branding.h"
#include "Dialogs.h"
#include "WindowLook.h"
#include "codepage.h"
#include "fsutil.h"
#include "outbox.h"
#include "paths.h"
#include "settings.h"
#include "smserror.h"
#include "textfile.h"
#include "ui_UTest.h"

#include <QFile>
#include <QShowEvent>
#include <QTextDocument>

namespace {

// A field's text as one line of the file. Line breaks and NUL would split or
// end the three-line file, so they go.
QString lineText(QString text)
{
    text.remove(u'\r');
    text.remove(u'\n');
    text.remove(QChar::LineSeparator);
    text.remove(QChar::ParagraphSeparator);
    text.remove(QChar(0));
    return text;
}

} // namespace

TFormTest::TFormTest(SettingsStore& settings, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::TFormTest>())
    , m_settings(settings)
{
    ui->setupUi(this);
    setWindowIcon(Branding::windowIcon());
    setFixedSize(566, 265);
    // Only the main window's closing ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);

    ui->Image1->setPixmap(Branding::logo());
    WindowLook::setWhiteGround(ui->Panel2);
    ui->StaticText1->setText(Branding::webAddress());
    ui->Label1->setBuddy(ui->EditTo);
    ui->Label2->setBuddy(ui->EditFrom);
    ui->Label4->setBuddy(ui->Memo1);

    QTextDocument* message = ui->Memo1->document();
    connect(message, &QTextDocument::contentsChange, this, [this](int position, int, int added) {
        m_editEnd = position + added;
        m_editAdded = added;
    });
    connect(ui->Memo1, &QPlainTextEdit::textChanged, this, &TFormTest::limitMessage);
    connect(ui->Button1, &QPushButton::clicked, this, &TFormTest::sendTestMessage);
    connect(ui->Button2, &QPushButton::clicked, this, &TFormTest::closeWindow);
}

TFormTest::~TFormTest() = default;

QByteArray TFormTest::chosenExtension() const
{
    // "Nornal", "Logo", "Music" and "Flash", as the window shows them.
    if (ui->RadioButtonL->isChecked())
        return ".lnol";
    if (ui->RadioButtonM->isChecked())
        return ".ring";
    if (ui->RadioButtonF->isChecked())
        return ".flh";
    return ".sms";
}

void TFormTest::sendTestMessage()
{
    runGuarded(ErrorBoxes::instance(), [this] {
        writeMessageFile();
        close();
    });
}

void TFormTest::writeMessageFile()
{
    const QStringList texts { lineText(ui->EditTo->text()), lineText(ui->EditFrom->text()),
        lineText(ui->Memo1->toPlainText()) };
    QList<QByteArray> lines;
    for (const QString& text : texts) {
        // Refused rather than sent as "?": the operator can still change it.
        if (const QString refusal = uncarriedCharacter(text); !refusal.isEmpty())
            throw SmsError(refusal);
        lines.append(text.toLatin1());
    }
    const QByteArray path = joinDir(m_settings.values().outboxDir, QByteArrayLiteral("SmsFile") + chosenExtension());
    // Written under a temporary name no search matches and renamed into
    // place, so the polling tick never reads half a file; a waiting file of
    // the same name is replaced. The mode is a plain creation's, so the
    // outbox's other readers see it as a file from any other writer.
    if (!Fs::writeFileAtomic(path, TextFile::joinLines(lines), Fs::creationMode()))
        throw SmsError::cannotCreateFile(QFile::decodeName(path));
}

void TFormTest::closeWindow()
{
    close();
}

void TFormTest::limitMessage()
{
    QTextDocument* document = ui->Memo1->document();
    const int excess = document->characterCount() - 1 - MessageLimit;
    if (excess <= 0)
        return;
    // Cut from the end of what was just put in; whatever is left over (text
    // set whole from outside) from the end of the text.
    QTextCursor cursor(document);
    // A whole-document change counts the final paragraph end as well.
    const int editEnd = qMin(m_editEnd, document->characterCount() - 1);
    const int fromEdit = editEnd >= 0 ? qMin(excess, qMin(m_editAdded, editEnd)) : 0;
    if (fromEdit > 0) {
        cursor.setPosition(editEnd - fromEdit);
        cursor.setPosition(editEnd, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    const int rest = document->characterCount() - 1 - MessageLimit;
    if (rest > 0) {
        cursor.setPosition(MessageLimit);
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    m_editEnd = -1;
}

void TFormTest::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        WindowLook::centreOnScreen(*this, screen());
    }
    QWidget::showEvent(event);
}
