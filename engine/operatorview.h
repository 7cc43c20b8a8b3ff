#pragma once

#include "errorroute.h"

#include <QByteArray>
#include <QString>

// What the engine needs of the operator's console. The main window implements
// it; tests use a recording fake. Texts are bytes, as the engine keeps them.
class OperatorView : public ErrorPresenter
{
public:
    virtual ~OperatorView() = default;

    // The engine log's display.
    virtual void logLineAppended(const QByteArray& line) = 0;
    virtual void logCleared() = 0;

    // Fields and switches the engine reads when it needs them.
    virtual QByteArray lineLimitText() const = 0;
    virtual bool saveLogChecked() const = 0;
    virtual QByteArray pollIntervalText() const = 0;
    virtual bool viewActionsChecked() const = 0;

    // Status shown to the operator.
    virtual void setCounterText(const QByteArray& counter) = 0;
    virtual void setInfoText(const QByteArray& info) = 0; // empties the panel, then fills it
    virtual void setConnectionLights(bool green) = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void setStopEnabled(bool enabled) = 0;
    virtual void toggleActivityLight() = 0;

    // showError, from ErrorPresenter: an error that ended a handler.
};
