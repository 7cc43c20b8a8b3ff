#include "settings.h"

#include "fsutil.h"
#include "smserror.h"
#include "textfile.h"

#include <QFile>

namespace {
QByteArray* field(Settings& s, int index)
{
    QByteArray* fields[]
        = { &s.outboxDir, &s.backupDir, &s.serverAddress, &s.serverPort, &s.userName, &s.password, &s.userKey };
    return fields[index];
}
} // namespace

QList<QByteArray> settingsLines(const Settings& s)
{
    return { s.outboxDir, s.backupDir, s.serverAddress, s.serverPort, s.userName, s.password, s.userKey };
}

void applySettingsLines(Settings& values, const QList<QByteArray>& lines)
{
    for (int i = 0; i < 7; ++i) {
        if (i >= lines.size())
            throw SmsError::listIndexOutOfBounds(i);
        *field(values, i) = lines[i];
    }
}

bool SettingsStore::load(const QByteArray& path)
{
    if (!Fs::exists(path))
        return false;
    const QList<QByteArray> lines = TextFile::readLines(path);
    applySettingsLines(m_values, lines);
    return true;
}

void SettingsStore::save(const Settings& values, const QByteArray& path)
{
    forceDirectories(values.outboxDir);
    forceDirectories(values.backupDir);
    // The file holds the password in clear: owner only, and written whole or
    // not at all so a failed save never leaves half a file.
    if (!Fs::writeFileAtomic(path, TextFile::joinLines(settingsLines(values)), 0600))
        throw SmsError::cannotCreateFile(QFile::decodeName(path));
    m_values = values;
}

std::array<QByteArray, 4> splitUserKey(const QByteArray& key)
{
    return { key.mid(0, 4), key.mid(4, 4), key.mid(8, 4), key.mid(12, 4) };
}

void forceDirectories(const QByteArray& dir)
{
    if (dir.isEmpty())
        throw SmsError(QStringLiteral("Unable to create directory"));
    QByteArray name = dir;
    if (name.endsWith('/'))
        name.chop(1);
    // The root, or a directory that is there already, is done.
    if (name.isEmpty() || Fs::isDirectory(name))
        return;
    const qsizetype slash = name.lastIndexOf('/');
    if (slash >= 0) {
        const QByteArray parent = name.left(slash);
        if (!parent.isEmpty())
            forceDirectories(parent);
    }
    Fs::makeDirectory(name);
}
