#pragma once

#include "dispatchengine.h"
#include "enginelog.h"
#include "errorroute.h"
#include "timestamp.h"

#include <QByteArrayList>
#include <QObject>
#include <QStringList>

#include <functional>

// Records what the engine shows, the way the main window takes it: its log
// events and its status, and the errors handed to the presenter. A counting
// view (keepLines false) keeps no lines, only their number, so that memory
// stays flat over millions of them; the hooks let a soak or a benchmark see
// each line and error as it comes.
class RecordingView : public ErrorPresenter
{
public:
    enum Mode { Keeping, Counting };
    explicit RecordingView(Mode mode = Keeping)
        : keepLines(mode == Keeping)
    {
    }
    RecordingView& operator=(const RecordingView& other)
    {
        keepLines = other.keepLines;
        options = other.options;
        appended = other.appended;
        lines = other.lines;
        clears = other.clears;
        savedFiles = other.savedFiles;
        counter = other.counter;
        info = other.info;
        green = other.green;
        startEnabled = other.startEnabled;
        stopEnabled = other.stopEnabled;
        activityToggles = other.activityToggles;
        errors = other.errors;
        severities = other.severities;
        return *this;
    }

    bool keepLines = true;
    // What the window's fields would say, for a host that builds its own
    // engine and configures it with them.
    EngineOptions options;
    // Every line the engine appended, across rotations (when kept).
    QByteArrayList appended;
    // Each line's severity, in the same order (when kept).
    QList<LogEvent::Severity> severities;
    qint64 lines = 0;
    int clears = 0;
    // The files the log's rotations wrote.
    QByteArrayList savedFiles;
    QByteArray counter;
    QByteArray info = "Waiting for info messages...";
    bool green = false;
    bool startEnabled = true;
    bool stopEnabled = false;
    int activityToggles = 0;
    QStringList errors;
    std::function<void(const QByteArray&)> onLine;
    std::function<void(const QString&)> onError;
    std::function<void()> onCounter;

    // Follows the log's events.
    void watch(EngineLog& log)
    {
        QObject::connect(&log, &EngineLog::appended, &m_context, [this](const LogEvent& e) { logged(e); });
        QObject::connect(&log, &EngineLog::cleared, &m_context, [this] { ++clears; });
        QObject::connect(
            &log, &EngineLog::saved, &m_context, [this](const QByteArray& path) { savedFiles.append(path); });
    }
    // Follows the engine's log and status, as the window does.
    void watch(DispatchEngine& engine)
    {
        watch(engine.log());
        QObject::connect(&engine, &DispatchEngine::statusChanged, &m_context,
            [this, &engine](EngineStatus::Changes changes) { show(engine.status(), changes); });
    }
    // Follows no one any more.
    void unwatch() { QObject::disconnect(&m_context, nullptr, nullptr, nullptr); }

    void showError(const QString& text) override
    {
        errors.append(text);
        if (onError)
            onError(text);
    }
    // The last file a rotation wrote; empty when none.
    QByteArray lastFile() const { return savedFiles.isEmpty() ? QByteArray() : savedFiles.last(); }
    // Start is greyed out while the engine runs.
    bool running() const { return !startEnabled; }

private:
    void logged(const LogEvent& e)
    {
        ++lines;
        if (keepLines) {
            appended.append(e.text);
            severities.append(e.severity);
        }
        if (onLine)
            onLine(e.text);
    }
    void show(const EngineStatus& status, EngineStatus::Changes changes)
    {
        if (changes & EngineStatus::Counter) {
            counter = status.counter;
            if (onCounter)
                onCounter();
        }
        if (changes & EngineStatus::Info)
            info = status.info;
        if (changes & (EngineStatus::Link | EngineStatus::Polling)) {
            green = status.lightsGreen();
            startEnabled = !status.polling;
            stopEnabled = status.polling;
        }
        if (changes & EngineStatus::Tick)
            ++activityToggles;
    }

    // Owns the connections: they end with the view.
    QObject m_context;
};

// A clock the tests set.
class FixedClock : public Clock
{
public:
    QDateTime time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89));
    QDateTime now() const override { return time; }
};
