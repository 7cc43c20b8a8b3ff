// The service manager side of notify.h, through libsystemd.
#include "notify.h"

#include <QByteArray>
#include <QtGlobal>

#include <systemd/sd-daemon.h>

#include <sys/stat.h>
#include <time.h>

namespace ServiceNotify {

namespace {
void send(const QByteArray& state)
{
    // Failures change nothing for the service: systemd, if it waits, times
    // out and says so itself.
    ::sd_notify(0, state.constData());
}
} // namespace

void ready()
{
    send("READY=1");
}

void reloading()
{
    // systemd takes the time to tell this reload from an earlier one.
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 usec = qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void stopping()
{
    send("STOPPING=1");
}

void status(const QByteArray& text)
{
    // One line: the state is newline-separated.
    QByteArray line = text;
    line.replace('\n', ' ');
    send("STATUS=" + line);
}

void watchdog()
{
    send("WATCHDOG=1");
}

std::chrono::microseconds watchdogTimeout()
{
    uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(qint64(usec));
}

bool isJournal(std::FILE* stream)
{
    const QByteArray names = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = names.indexOf(':');
    if (colon <= 0 || !stream)
        return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong dev = names.left(colon).toULongLong(&devOk);
    const qulonglong ino = names.mid(colon + 1).toULongLong(&inoOk);
    struct stat st
    {
    };
    if (!devOk || !inoOk || ::fstat(::fileno(stream), &st) != 0)
        return false;
    return qulonglong(st.st_dev) == dev && qulonglong(st.st_ino) == ino;
}

} // namespace ServiceNotify
