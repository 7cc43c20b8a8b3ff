// notify.h for a build without libsystemd: nothing to tell, no journal.
#include "notify.h"

namespace ServiceNotify {

void ready() { }
void reloading() { }
void stopping() { }
void status(const QByteArray&) { }
void watchdog() { }

std::chrono::microseconds watchdogTimeout()
{
    return std::chrono::microseconds(0);
}

bool isJournal(std::FILE*)
{
    return false;
}

} // namespace ServiceNotify
