#include "Dialogs.h"

#include "WindowLook.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

namespace {
MessageBoxDialogs& messageBoxes()
{
    static MessageBoxDialogs boxes;
    return boxes;
}

Dialogs* current = nullptr;

void runBox(QMessageBox::Icon icon, const QString& text, QWidget* near)
{
    QMessageBox box(icon, applicationTitle(), text, QMessageBox::Ok);
    // Texts come from files, settings and the gateway: never markup.
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    if (QScreen* screen = near ? near->screen() : QGuiApplication::primaryScreen()) {
        box.adjustSize();
        WindowLook::centreOnScreen(box, screen);
    }
    box.exec();
}
} // namespace

Dialogs& Dialogs::instance()
{
    return current ? *current : messageBoxes();
}

void Dialogs::setInstance(Dialogs* dialogs)
{
    current = dialogs;
}

void MessageBoxDialogs::showMessage(QWidget* parent, const QString& text)
{
    runBox(QMessageBox::NoIcon, text, parent);
}

void MessageBoxDialogs::showError(const QString& text)
{
    runBox(QMessageBox::Critical, errorBoxText(text), QApplication::activeWindow());
}

QString titleFromProgramPath(const QString& path)
{
    QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString applicationTitle()
{
    QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty() && !QCoreApplication::arguments().isEmpty())
        path = QCoreApplication::arguments().constFirst();
    return titleFromProgramPath(path);
}

QString errorBoxText(const QString& text)
{
    if (!text.isEmpty() && text.back().unicode() > u'.')
        return text + QLatin1Char('.');
    return text;
}

ErrorBoxes& ErrorBoxes::instance()
{
    static ErrorBoxes presenter;
    return presenter;
}

void ErrorBoxes::showError(const QString& text)
{
    if (m_pending.contains(text))
        return;
    m_pending.insert(text);
    // Shown once the failing handler has run to its end; the box's own loop
    // keeps timer ticks and socket events flowing meanwhile.
    QTimer::singleShot(0, qApp, [this, text] {
        Dialogs::instance().showError(text);
        m_pending.remove(text);
    });
}
