#pragma once

#include "operatorview.h"

#include <QByteArrayList>
#include <QStringList>

// Records what the engine shows, and supplies the fields it reads, the way
// the main window would.
class RecordingView : public OperatorView
{
public:
    // Every line the engine appended, across rotations.
    QByteArrayList appended;
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

    void logLineAppended(const QByteArray& line) override { appended.append(line); }
    void logCleared() override { ++clears; }
    QByteArray lineLimitText() const override { return lineLimit; }
    bool saveLogChecked() const override { return saveLog; }
    QByteArray pollIntervalText() const override { return pollInterval; }
    bool viewActionsChecked() const override { return viewActions; }
    void setCounterText(const QByteArray& c) override { counter = c; }
    void setInfoText(const QByteArray& i) override { info = i; }
    void setConnectionLights(bool g) override { green = g; }
    void setStartEnabled(bool e) override { startEnabled = e; }
    void setStopEnabled(bool e) override { stopEnabled = e; }
    void toggleActivityLight() override { ++activityToggles; }
    void showError(const QString& text) override { errors.append(text); }
};

// A clock the tests set.
#include "timestamp.h"
class FixedClock : public Clock
{
public:
    QDateTime time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89));
    QDateTime now() const override { return time; }
};
