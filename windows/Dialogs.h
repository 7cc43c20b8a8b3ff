#pragma once

#include "smserror.h"

#include <QSet>
#include <QString>

#include <exception>

class QWidget;

// The boxes the program shows the operator. Windows go through the current
// instance, so tests can put a recording one in place of the real boxes.
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    // A modal message: no icon, one "OK" button, centred on the screen,
    // titled with the application's title. Returns when it is closed.
    virtual void showMessage(QWidget* parent, const QString& text) = 0;
    // The error box: error icon, "OK", the application's title, and the
    // text as errorBoxText() words it. Returns when it is closed.
    virtual void showError(const QString& text) = 0;

    // The instance in use; the message-box one unless replaced.
    static Dialogs& instance();
    // Replaces the instance (nullptr restores the message boxes).
    static void setInstance(Dialogs* dialogs);
};

// The real boxes.
class MessageBoxDialogs : public Dialogs
{
public:
    void showMessage(QWidget* parent, const QString& text) override;
    void showError(const QString& text) override;
};

// "MarlekSMSSender.exe" -> "Marleksmssender": the file name without its
// directory, cut at its first ".", all but the first character lower-cased.
QString titleFromProgramPath(const QString& path);
// The title of this program, from its own file name.
QString applicationTitle();
// The error's text with a "." added when it ends in a character that sorts
// after ".".
QString errorBoxText(const QString& text);

// The one place errors from event-loop entry points go. Each error box is
// shown from the event loop once the failing handler has finished, and an
// error whose box is already open (or about to open) is not stacked again,
// so a fault met on every timer tick shows one box, not a pile of them.
class ErrorPresenter
{
public:
    static ErrorPresenter& instance();

    void present(const QString& text);

    // Texts whose box is queued or open.
    qsizetype pendingCount() const { return m_pending.size(); }

private:
    QSet<QString> m_pending;
};

// Runs one entry point of a window; an error leaving it goes to the
// presenter, as exceptions must not cross Qt's event loop.
template <typename F> void runPresented(F&& handler)
{
    try {
        handler();
    } catch (const SmsError& e) {
        ErrorPresenter::instance().present(e.text());
    } catch (const std::exception& e) {
        ErrorPresenter::instance().present(QString::fromLocal8Bit(e.what()));
    }
}
