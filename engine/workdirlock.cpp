#include "workdirlock.h"

#include "smserror.h"

#include <QDir>

void WorkdirLock::lock(const QString& dir)
{
    unlock();
    m_lock = std::make_unique<QLockFile>(QDir(dir).absoluteFilePath(QString::fromLatin1(FileName)));
    // Never stale by age: the program runs for weeks. A lock whose process
    // is gone is still taken over, as QLockFile checks the process itself;
    // one another host wrote into a shared folder never is, as its process
    // cannot be checked from here.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return;
    const std::unique_ptr<QLockFile> failed = std::move(m_lock);
    if (failed->error() == QLockFile::LockFailedError)
        throw SmsError(alreadyRunningText());
    throw SmsError(QStringLiteral("Cannot create the lock file %1").arg(QDir::toNativeSeparators(failed->fileName())));
}

void WorkdirLock::unlock()
{
    if (m_lock)
        m_lock->unlock();
    m_lock.reset();
}
