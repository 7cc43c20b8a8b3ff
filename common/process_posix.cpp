// Linux side of processutil.h.
#include "processutil.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace Process {
bool isRunning(qint64 pid, const QString& program)
{
    if (pid <= 0)
        return false;
    // Signal 0 checks without sending; EPERM: it runs, under another user.
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    if (program.isEmpty())
        return true;
    // Another user's process keeps its program to itself: it counts.
    char target[4096];
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/exe";
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n <= 0)
        return true;
    QByteArray path(target, n);
    // A program file replaced while it runs (an upgrade) is still that program.
    if (path.endsWith(" (deleted)"))
        path.chop(10);
    return QFile::decodeName(path.mid(path.lastIndexOf('/') + 1)) == program;
}
} // namespace Process
