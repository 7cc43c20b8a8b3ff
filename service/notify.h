#pragma once

#include <QByteArray>

#include <chrono>
#include <cstdio>

// What the service tells the service manager (systemd) about itself, and
// whether a stream it writes to is the journal. Without a notification
// socket (NOTIFY_SOCKET unset: not started by systemd as Type=notify) the
// notify calls do nothing. notify_systemd.cpp is the side with libsystemd,
// notify_none.cpp the stand-in for a build without it.
namespace ServiceNotify {

// Settings read and the folder locked, at the start or after a reload.
void ready();
// A reload begins (SIGHUP): READY follows once the settings are read again.
void reloading();
// The service begins to stop.
void stopping();
// One line for `systemctl status`; the caller sends only changes.
void status(const QByteArray& text);
// The event loop is alive.
void watchdog();
// How long systemd waits for a watchdog call before it takes the service
// for hung; zero when it does not watch.
std::chrono::microseconds watchdogTimeout();

// Whether the stream is connected to the journal (JOURNAL_STREAM names
// its device and inode), where lines may carry a priority prefix.
bool isJournal(std::FILE* stream);

} // namespace ServiceNotify
