#pragma once

#include "operatorview.h"
#include "timestamp.h"

#include <QByteArrayList>
#include <QStringList>

#include <functional>

// Records what the engine shows, and supplies the fields it reads, the way
// the main window would. A counting view (keepLines false) keeps no lines,
// only their number, so that memory stays flat over millions of them; the
// hooks let a soak or a benchmark see each line and error as it comes.
class RecordingView : public OperatorView
{
public:
    enum Mode { Keeping, Counting };
    explicit RecordingView(Mode mode = Keeping)
        : keepLines(mode == Keeping)
    {
    }

    bool keepLines = true;
    // Every line the engine appended, across rotations (when kept).
    QByteArrayList appended;
    qint64 lines = 0;
    int clears = 0;
    QByteArray lineLimit = "1000";
    bool saveLog = false;
    QByteArray pollInterval = "1000";
    bool viewActions = true;
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

    void logLineAppended(const QByteArray& line) override
    {
        ++lines;
        if (keepLines)
            appended.append(line);
        if (onLine)
            onLine(line);
    }
    void logCleared() override { ++clears; }
    QByteArray lineLimitText() const override { return lineLimit; }
    bool saveLogChecked() const override { return saveLog; }
    QByteArray pollIntervalText() const override { return pollInterval; }
    bool viewActionsChecked() const override { return viewActions; }
    void setCounterText(const QByteArray& c) override
    {
        counter = c;
        if (onCounter)
            onCounter();
    }
    void setInfoText(const QByteArray& i) override { info = i; }
    void setConnectionLights(bool g) override { green = g; }
    void setStartEnabled(bool e) override { startEnabled = e; }
    void setStopEnabled(bool e) override { stopEnabled = e; }
    void toggleActivityLight() override { ++activityToggles; }
    void showError(const QString& text) override
    {
        errors.append(text);
        if (onError)
            onError(text);
    }
    // Start is greyed out while the engine runs.
    bool running() const { return !startEnabled; }
};

// A clock the tests set.
class FixedClock : public Clock
{
public:
    QDateTime time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89));
    QDateTime now() const override { return time; }
};
