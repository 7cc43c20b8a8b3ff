#include "workdirlock.h"

#include <QDir>

bool WorkdirLock::tryLock(const QString& dir)
{
    unlock();
    m_error.clear();
    m_lock = std::make_unique<QLockFile>(QDir(dir).absoluteFilePath(QString::fromLatin1(FileName)));
    // Never stale by age: the program runs for weeks. A lock whose process
    // is gone is still taken over, as QLockFile checks the process itself.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return true;
    switch (m_lock->error()) {
    case QLockFile::LockFailedError:
        m_error = alreadyRunningText();
        break;
    case QLockFile::PermissionError:
    case QLockFile::UnknownError:
    case QLockFile::NoError:
        m_error = QStringLiteral("Cannot create the lock file %1").arg(QDir::toNativeSeparators(m_lock->fileName()));
        break;
    }
    m_lock.reset();
    return false;
}

void WorkdirLock::unlock()
{
    if (m_lock)
        m_lock->unlock();
    m_lock.reset();
}
