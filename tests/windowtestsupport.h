#pragma once

#include "Dialogs.h"
#include "Main.h"
#include "dispatchengine.h"
#include "recordingdialogs.h"
#include "textfile.h"
#include "timestamp.h"

#include <QAccessible>
#include <QDir>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// Each window test runs in a scratch working directory of its own, with the
// boxes recorded instead of shown.
class WindowTestScope
{
public:
    WindowTestScope()
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~WindowTestScope() { QDir::setCurrent(m_previous); }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    RecordingDialogs dialogs;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// The engine a main window is given, built before the window.
struct WindowEngineHolder
{
    WindowEngineHolder(SettingsStore& settings, const Clock& clock)
        : windowEngine(settings, ErrorBoxes::instance(), clock)
    {
    }
    DispatchEngine windowEngine;
};

// The main window on an engine of its own, as the program builds them.
class EngineWindow : private WindowEngineHolder, public TFormMain
{
public:
    explicit EngineWindow(SettingsStore& settings, QWidget* parent = nullptr, const Clock* clock = nullptr)
        : WindowEngineHolder(settings, clock ? *clock : Clock::system())
        , TFormMain(settings, windowEngine, parent, clock)
    {
    }
};

inline void writeSettingsFile(const QList<QByteArray>& lines)
{
    TextFile::writeLines("SMS_Key_Client.inf", lines);
}

inline QStringList textLines(const QPlainTextEdit* edit)
{
    const QString text = edit->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// What a screen reader is given for a widget.
inline QString accessibleText(QWidget* w, QAccessible::Text t = QAccessible::Name)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
    return iface ? iface->text(t) : QStringLiteral("<no accessible interface>");
}

// The captions a screen reader ties to a widget as its labels.
inline QStringList accessibleLabels(QWidget* w)
{
    QStringList labels;
    if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w)) {
        for (const auto& [label, relation] : iface->relations(QAccessible::Label))
            labels << label->text(QAccessible::Name);
    }
    return labels;
}
