#pragma once

#include "smserror.h"

#include <QString>

#include <exception>

// Where an error that ends an event-loop entry point goes: the operator's
// error box in the windows, standard error in the service.
class ErrorPresenter
{
public:
    virtual ~ErrorPresenter() = default;

    virtual void showError(const QString& text) = 0;
};

// Runs one event-loop entry point; an error that would leave it goes to the
// presenter instead, since exceptions must not cross Qt's loop.
template <typename F> void runGuarded(ErrorPresenter& presenter, F&& handler)
{
    try {
        handler();
    } catch (const SmsError& e) {
        presenter.showError(e.text());
    } catch (const std::exception& e) {
        presenter.showError(QString::fromLocal8Bit(e.what()));
    }
}
