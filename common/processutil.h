#pragma once

#include <QString>

// Calls about other processes, one file per platform (process_posix.cpp).
// A Windows side would use OpenProcess and GetExitCodeProcess.
namespace Process {
// Whether a process with this id runs on this machine (whoever owns it).
// With a program name, a process running another program (the id used
// again) does not count, where that can be told.
bool isRunning(qint64 pid, const QString& program = {});
} // namespace Process
