#pragma once

#include "Dialogs.h"

#include <QEventLoop>
#include <QStringList>

// Records what the windows would show the operator instead of opening boxes.
// With holdErrors set, an error "box" stays open (a nested event loop, as a
// modal box runs) until closeError() is called.
class RecordingDialogs : public Dialogs
{
public:
    QStringList messages;
    QStringList errors;
    QStringList titles; // the application title at each box
    bool holdErrors = false;

    RecordingDialogs() { Dialogs::setInstance(this); }
    ~RecordingDialogs() override { Dialogs::setInstance(nullptr); }

    void showMessage(QWidget*, const QString& text) override
    {
        messages.append(text);
        titles.append(applicationTitle());
    }

    void showError(const QString& text) override
    {
        errors.append(errorBoxText(text));
        titles.append(applicationTitle());
        if (holdErrors) {
            QEventLoop loop;
            m_open.append(&loop);
            loop.exec();
            m_open.removeOne(&loop);
        }
    }

    qsizetype openErrors() const { return m_open.size(); }
    // Closes the innermost open error box.
    void closeError()
    {
        if (!m_open.isEmpty())
            m_open.last()->quit();
    }

private:
    QList<QEventLoop*> m_open;
};
