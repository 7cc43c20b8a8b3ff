#pragma once

#include "operatorview.h"
#include "smserror.h"

#include <exception>

// Runs one event-loop entry point; an error that would leave it goes to the
// operator's error box instead, since exceptions must not cross Qt's loop.
template <typename F> void runGuarded(OperatorView& view, F&& handler)
{
    try {
        handler();
    } catch (const SmsError& e) {
        view.showError(e.text());
    } catch (const std::exception& e) {
        view.showError(QString::fromLocal8Bit(e.what()));
    }
}
