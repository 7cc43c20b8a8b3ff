#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <memory>
#include <optional>

// How the browser's window is shown.
enum TBrowserState : quint8 { gwMaximized = 0, gwNormal = 1 };

// The window show command for a state (SW_SHOWMAXIMIZED 3, SW_SHOWNORMAL 1).
int BrowserShowCommand(TBrowserState state);

// The file-type names whose open command is the default browser's, in the
// order they are tried.
extern const std::array<const char*, 4> BrowserClassKeys;

// The part of the system's file-type registry the launcher reads.
class BrowserRegistry
{
public:
    using Key = void*;

    virtual ~BrowserRegistry() = default;
    // Opens a sub-key of an open key, or of the classes root when parent is
    // null. Returns null when it cannot be opened.
    virtual Key openKey(Key parent, const QByteArray& subKey) = 0;
    // The key's default value up to its first NUL: nothing when the key has no
    // default value, an empty text when it has one that cannot be read.
    virtual std::optional<QByteArray> defaultValue(Key key) = 0;
    virtual void closeKey(Key key) = 0;
};

// Starts the browser.
class BrowserStarter
{
public:
    virtual ~BrowserStarter() = default;
    // Starts a program with a parameter text; true when it was started.
    virtual bool startProgram(const QString& program, const QString& parameters, int showCommand) = 0;
    // Opens an address with the platform's own means; true when it was handed on.
    virtual bool openAddress(const QString& url, int showCommand) = 0;
};

// The default browser's open command line as the registry holds it, or empty.
// Every key it opens is closed again before it returns.
QString ReadBrowserCommand(BrowserRegistry& registry);

// The registry of this platform, or null where there is none.
std::unique_ptr<BrowserRegistry> systemBrowserRegistry();
std::unique_ptr<BrowserStarter> systemBrowserStarter();

// Opens its address in the user's default web browser.
class TGoToWeb : public QObject
{
    Q_OBJECT
public:
    explicit TGoToWeb(QObject* owner = nullptr);
    ~TGoToWeb() override;

    QString Url() const { return m_url; }
    void setUrl(const QString& url) { m_url = url; }
    QString EMail() const { return m_email; }
    void setEMail(const QString& email) { m_email = email; }
    TBrowserState BrowserState() const { return m_state; }
    void setBrowserState(TBrowserState state) { m_state = state; }
    QString EMailSubject() const { return m_subject; }
    void setEMailSubject(const QString& subject) { m_subject = subject; }

    // Opens Url in the default browser; true when the browser was started.
    bool OpenUrl();

    // The browser's program path from the registry's open command, or empty.
    // Sets browserArgs() to the command's fixed arguments unless it returns
    // empty.
    QString FindBrowser();
    // The browser's fixed arguments, as FindBrowser last found them.
    const QString& browserArgs() const { return m_browserArgs; }

    // Replaces the platform's registry (null: none, open with the platform's
    // own means) and starter; tests put in fakes.
    void setPlatform(std::unique_ptr<BrowserRegistry> registry, std::unique_ptr<BrowserStarter> starter);

private:
    QString m_url;
    QString m_email;
    TBrowserState m_state = gwMaximized;
    QString m_subject;
    QString m_browserArgs;
    std::unique_ptr<BrowserRegistry> m_registry;
    std::unique_ptr<BrowserStarter> m_starter;
};

// Splits a browser command line into its program path (returned) and fixed
// arguments (into *args). Empty, leaving *args alone, when no ".EXE", ".BAT"
// or ".COM" occurs in it.
QString splitBrowserCommand(const QString& command, QString* args);
