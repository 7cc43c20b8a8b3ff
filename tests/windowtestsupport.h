#pragma once

#include "Dialogs.h"
#include "recordingdialogs.h"
#include "textfile.h"

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

inline void writeSettingsFile(const QList<QByteArray>& lines)
{
    TextFile::writeLines("SMS_Key_Client.inf", lines);
}

inline QStringList textLines(const QPlainTextEdit* edit)
{
    const QString text = edit->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}
