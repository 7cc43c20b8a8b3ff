#include "GoToWeb.h"

#include "Branding.h"

#include <QDesktopServices>
#include <QUrl>

#ifdef Q_OS_WIN
#include <QApplication>
#include <QWidget>
#include <qt_windows.h>
#include <shellapi.h>
#else
#include <QProcess>
#endif

const std::array<const char*, 4> BrowserClassKeys = { ".HTM", ".HTML", ".SHTML", ".SHTM" };

int BrowserShowCommand(TBrowserState state)
{
    return state == gwNormal ? 1 : 3;
}

namespace {

// Opens parent\subKey, reads its default value and closes it again. Empty when
// the key is missing, has no default value or an empty one.
QByteArray readCommandKey(BrowserRegistry& registry, BrowserRegistry::Key parent, const QByteArray& subKey)
{
    BrowserRegistry::Key key = registry.openKey(parent, subKey);
    if (!key)
        return {};
    const std::optional<QByteArray> value = registry.defaultValue(key);
    registry.closeKey(key);
    return value.value_or(QByteArray());
}

bool isControlOrBlank(QChar c)
{
    return c.unicode() <= 32;
}

QString trimControls(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isControlOrBlank(text.at(begin)))
        ++begin;
    while (end > begin && isControlOrBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

bool isProgramExtension(QStringView four)
{
    QString upper;
    for (QChar c : four)
        upper.append(c >= u'a' && c <= u'z' ? QChar(c.unicode() - (u'a' - u'A')) : c);
    return upper == u".EXE" || upper == u".BAT" || upper == u".COM";
}

// Drops each "%" with everything joined to it, up to the next blank.
QString removePlaceholders(const QString& text)
{
    QString out;
    out.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        if (text.at(i) == u'%') {
            while (i < text.size() && text.at(i) != u' ')
                ++i;
            continue;
        }
        out.append(text.at(i));
        ++i;
    }
    return out;
}

} // namespace

QString ReadBrowserCommand(BrowserRegistry& registry)
{
    for (const char* name : BrowserClassKeys) {
        BrowserRegistry::Key classKey = registry.openKey(nullptr, QByteArray(name));
        if (!classKey)
            continue;
        const std::optional<QByteArray> typeName = registry.defaultValue(classKey);
        if (!typeName) {
            // No default value at all: the class key's own command is not tried.
            registry.closeKey(classKey);
            continue;
        }
        QByteArray command;
        if (!typeName->isEmpty())
            command = readCommandKey(registry, nullptr, *typeName + "\\shell\\open\\command");
        if (command.isEmpty())
            command = readCommandKey(registry, classKey, "shell\\open\\command");
        registry.closeKey(classKey);
        if (!command.isEmpty())
            return QString::fromLocal8Bit(command);
    }
    return {};
}

QString splitBrowserCommand(const QString& command, QString* args)
{
    // The right-most program extension ends the path; it need not stand before
    // a blank or a quote.
    qsizetype end = 0;
    for (qsizetype p = command.size(); p >= 4; --p) {
        if (isProgramExtension(QStringView(command).mid(p - 4, 4))) {
            end = p;
            break;
        }
    }
    if (end == 0)
        return {};

    QString program = command;
    if (end < command.size()) {
        QString rest = trimControls(command.mid(end));
        rest.remove(u'"');
        *args = trimControls(removePlaceholders(rest));
        program.truncate(end);
    } else {
        args->clear();
    }
    // Only the opening quote is left; the closing one went with the arguments.
    if (program.startsWith(u'"'))
        program.remove(0, 1);
    return program;
}

TGoToWeb::TGoToWeb(QObject* owner)
    : QObject(owner)
    , m_url(Branding::operatorUrl())
    , m_email(Branding::email())
    , m_registry(systemBrowserRegistry())
    , m_starter(systemBrowserStarter())
{
}

TGoToWeb::~TGoToWeb() = default;

void TGoToWeb::setPlatform(std::unique_ptr<BrowserRegistry> registry, std::unique_ptr<BrowserStarter> starter)
{
    m_registry = std::move(registry);
    m_starter = starter ? std::move(starter) : systemBrowserStarter();
}

QString TGoToWeb::FindBrowser()
{
    if (!m_registry)
        return {};
    const QString command = ReadBrowserCommand(*m_registry);
    if (command.isEmpty())
        return {};
    return splitBrowserCommand(command, &m_browserArgs);
}

bool TGoToWeb::OpenUrl()
{
    const int show = BrowserShowCommand(m_state);
    // Without a class registry the platform knows the default browser itself.
    if (!m_registry)
        return m_starter->openAddress(m_url, show);
    const QString program = FindBrowser();
    if (program.isEmpty())
        return false;
    return m_starter->startProgram(program, m_browserArgs + u' ' + m_url, show);
}

#ifdef Q_OS_WIN

namespace {

class WindowsRegistry : public BrowserRegistry
{
public:
    Key openKey(Key parent, const QByteArray& subKey) override
    {
        HKEY base = parent ? static_cast<HKEY>(parent) : HKEY_CLASSES_ROOT;
        HKEY key = nullptr;
        // Read access is all it needs; asking for more fails for ordinary users
        // on keys that come from the machine-wide part of the classes root.
        if (RegOpenKeyExA(base, subKey.constData(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return nullptr;
        return key;
    }

    std::optional<QByteArray> defaultValue(Key key) override
    {
        DWORD size = 0;
        if (RegQueryValueExA(static_cast<HKEY>(key), nullptr, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        char buffer[1025];
        DWORD length = sizeof buffer;
        // A longer value fails here with ERROR_MORE_DATA and counts as unreadable.
        if (RegQueryValueExA(
                static_cast<HKEY>(key), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length)
            != ERROR_SUCCESS)
            return QByteArray();
        length = qMin<DWORD>(length, sizeof buffer);
        return QByteArray(buffer, qstrnlen(buffer, length));
    }

    void closeKey(Key key) override { RegCloseKey(static_cast<HKEY>(key)); }
};

class WindowsStarter : public BrowserStarter
{
public:
    bool startProgram(const QString& program, const QString& parameters, int showCommand) override
    {
        QWidget* owner = QApplication::activeWindow();
        const HINSTANCE result = ShellExecuteA(owner ? reinterpret_cast<HWND>(owner->winId()) : nullptr, nullptr,
            program.toLocal8Bit().constData(), parameters.toLocal8Bit().constData(), nullptr, showCommand);
        return reinterpret_cast<INT_PTR>(result) > 32;
    }

    bool openAddress(const QString& url, int) override { return QDesktopServices::openUrl(QUrl(url)); }
};

} // namespace

std::unique_ptr<BrowserRegistry> systemBrowserRegistry()
{
    return std::make_unique<WindowsRegistry>();
}

std::unique_ptr<BrowserStarter> systemBrowserStarter()
{
    return std::make_unique<WindowsStarter>();
}

#else

namespace {

class DesktopStarter : public BrowserStarter
{
public:
    bool startProgram(const QString& program, const QString& parameters, int) override
    {
        return QProcess::startDetached(program, QProcess::splitCommand(parameters));
    }

    // The desktop's opener picks the browser and its window; the show command
    // cannot be passed on to it.
    bool openAddress(const QString& url, int) override { return QDesktopServices::openUrl(QUrl(url)); }
};

} // namespace

std::unique_ptr<BrowserRegistry> systemBrowserRegistry()
{
    return nullptr;
}

std::unique_ptr<BrowserStarter> systemBrowserStarter()
{
    return std::make_unique<DesktopStarter>();
}

#endif
