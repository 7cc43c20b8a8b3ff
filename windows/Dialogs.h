#pragma once

#include "errorroute.h"

#include <QSet>
#include <QString>

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

// The windows' error presenter, the one place their errors go. Each error
// box is shown from the event loop once the failing handler has finished, and
// an error whose box is already open (or about to open) is not stacked again,
// so a fault met on every timer tick shows one box, not a pile of them.
class ErrorBoxes : public ErrorPresenter
{
public:
    static ErrorBoxes& instance();

    void showError(const QString& text) override;

    // Texts whose box is queued or open.
    qsizetype pendingCount() const { return m_pending.size(); }

private:
    QSet<QString> m_pending;
};
