#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// How the browser's window is shown.
enum TBrowserState : quint8 { gwMaximized = 0, gwNormal = 1 };

// The window show command for a state (SW_SHOWMAXIMIZED 3, SW_SHOWNORMAL 1).
int BrowserShowCommand(TBrowserState state);

// Reads the default browser's open command; implemented per platform.
class BrowserRegistry;
// Starts a program, or opens an address; implemented per platform.
class BrowserStarter;

// Opens its address in the user's default web browser.
class TGoToWeb : public QObject
{
    Q_OBJECT
public:
    explicit TGoToWeb(QObject* owner = nullptr);

    QString Url() const { return m_url; }
    void setUrl(const QString& url) { m_url = url; }
    QString EMail() const { return m_email; }
    void setEMail(const QString& email) { m_email = email; }
    TBrowserState BrowserState() const { return m_state; }
    void setBrowserState(TBrowserState state) { m_state = state; }
    QString EMailSubject() const { return m_subject; }
    void setEMailSubject(const QString& subject) { m_subject = subject; }

    bool OpenUrl();
    QString FindBrowser();

private:
    QString m_url;
    QString m_email;
    TBrowserState m_state = gwMaximized;
    QString m_subject;
};
