#pragma once

#include "statusfile.h"

#include <QLockFile>
#include <QString>

#include <memory>

// One program per working directory: the send journal, the log files and
// the settings there belong to one running copy. A lock left by a copy that
// was killed is taken over.
class WorkdirLock
{
public:
    static constexpr const char* FileName = SenderStatus::LockFileName;

    // Takes the lock of dir. Throws SmsError when another running copy
    // holds it (alreadyRunningText()) or the lock file cannot be made.
    void lock(const QString& dir);
    void unlock();
    bool isLocked() const { return m_lock && m_lock->isLocked(); }

    static QString alreadyRunningText() { return QStringLiteral("The program is already running in this folder."); }

private:
    std::unique_ptr<QLockFile> m_lock;
};
