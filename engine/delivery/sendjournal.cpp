#include "sendjournal.h"

#include "paths.h"
#include "smserror.h"
#include "timestamp.h"

namespace {
// Paths are the operator's bytes; only the journal's own separators are
// escaped, so a line stays one line.
QByteArray escaped(const QByteArray& path)
{
    QByteArray out = path;
    out.replace('%', "%25").replace('\t', "%09").replace('\n', "%0A").replace('\r', "%0D");
    return out;
}

QByteArray unescaped(const QByteArray& text)
{
    return QByteArray::fromPercentEncoding(text);
}

QByteArray fileNameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

SmsError cannotWrite(const QByteArray& path)
{
    return SmsError(QStringLiteral("Cannot write the send journal %1").arg(QString::fromLocal8Bit(path)));
}

struct Entry
{
    QByteArray outboxPath;
    bool moved = false;
};
} // namespace

QList<MessageFate> SendJournal::recover(const QByteArray& text, bool* damaged)
{
    *damaged = false;
    QList<QByteArray> order;
    QHash<QByteArray, Entry> open;
    // Every record ends with a line break: anything after the last one was
    // never finished, and the file is not to be trusted.
    if (!text.isEmpty() && !text.endsWith('\n')) {
        *damaged = true;
        return {};
    }
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    for (const QByteArray& line : lines) {
        if (line.size() < 3 || line[1] != ' ') {
            *damaged = true;
            return {};
        }
        const char kind = line[0];
        QByteArray rest = line.mid(2);
        if (kind == 'S') {
            const qsizetype tab = rest.indexOf('\t');
            const QByteArray backup = unescaped(rest.left(tab));
            if (tab <= 0 || open.contains(backup)) {
                *damaged = true;
                return {};
            }
            open.insert(backup, { unescaped(rest.mid(tab + 1)), false });
            order.append(backup);
            continue;
        }
        const QByteArray backup = unescaped(rest);
        auto it = open.find(backup);
        if (it == open.end() || (kind != 'M' && kind != 'X' && kind != 'A')) {
            *damaged = true;
            return {};
        }
        if (kind == 'M')
            it->moved = true;
        else
            open.erase(it);
    }

    QList<MessageFate> unanswered;
    for (const QByteArray& backup : order) {
        const auto it = open.constFind(backup);
        if (it == open.cend())
            continue;
        const Entry e = it.value();
        open.erase(it); // a name reused after an "X" is met once
        if (!e.moved) {
            // Died in the middle of the move, before anything was sent: a
            // copy under its backup name beside the outbox file is undone,
            // and the outbox file goes on a later tick.
            Fs::removeFile(Fs::partialName(backup));
            QByteArray inOutbox;
            QByteArray inBackup;
            const bool outboxThere = Fs::readFile(e.outboxPath, &inOutbox);
            const bool backupThere = Fs::readFile(backup, &inBackup);
            if (outboxThere && (!backupThere || inOutbox == inBackup)) {
                if (backupThere)
                    Fs::removeFile(backup);
                continue;
            }
            if (!backupThere)
                continue; // taken away before the move: never sent
        }
        MessageFate fate;
        fate.backupPath = backup;
        fate.outboxName = fileNameOf(e.outboxPath);
        unanswered.append(fate);
    }
    return unanswered;
}

QList<MessageFate> SendJournal::open(const QByteArray& dir, const Clock& clock)
{
    m_active = true;
    m_file.close();
    m_path = joinDir(dir, FileName);
    QByteArray text;
    if (Fs::exists(m_path) && !Fs::readFile(m_path, &text))
        throw cannotWrite(m_path);
    bool damaged = false;
    const QList<MessageFate> unanswered = recover(text, &damaged);
    if (damaged) {
        // Kept for whoever looks into it; a fresh journal goes on.
        const QByteArray aside = m_path + ".damaged_" + timeStamp(clock.now());
        if (Fs::moveNoReplace(m_path, aside) != Fs::Moved::Yes)
            throw cannotWrite(m_path);
        if (!m_file.open(m_path))
            throw cannotWrite(m_path);
        throw SmsError(QStringLiteral("The send journal %1 was damaged; it was set aside as %2")
                           .arg(QString::fromLocal8Bit(m_path), QString::fromLocal8Bit(aside)));
    }
    if (!m_file.open(m_path))
        throw cannotWrite(m_path);
    return unanswered;
}

void SendJournal::clearRecovered(bool nothingOpen)
{
    if (m_active && m_file.isOpen() && nothingOpen && m_file.size() > 0 && !m_file.truncate())
        throw cannotWrite(m_path);
}

void SendJournal::write(char kind, const QByteArray& backupPath, bool sync)
{
    if (!m_active)
        return;
    if (!m_file.isOpen() || !m_file.append(QByteArray(1, kind) + ' ' + escaped(backupPath) + '\n', sync))
        throw cannotWrite(m_path);
}

void SendJournal::recordSending(const QByteArray& backupPath, const QByteArray& outboxPath)
{
    if (m_active
        && (!m_file.isOpen() || !m_file.append("S " + escaped(backupPath) + '\t' + escaped(outboxPath) + '\n', true)))
        throw cannotWrite(m_path);
}

void SendJournal::recordMoved(const QByteArray& backupPath)
{
    // Not flushed: this run dying keeps it, and a lost "M" only makes the
    // next start look at the files themselves.
    write('M', backupPath, false);
}

void SendJournal::recordNotMoved(const QByteArray& backupPath)
{
    write('X', backupPath, false);
}

void SendJournal::recordSettled(const QByteArray& backupPath, const QList<Open>& stillOpen)
{
    // Not flushed either: if it is lost, the message is named once more at
    // the next start, which is better than a wait for the disk per reply.
    write('A', backupPath, false);
    if (m_active && m_file.size() > m_compactSize)
        compact(stillOpen);
}

void SendJournal::compact(const QList<Open>& stillOpen)
{
    if (stillOpen.isEmpty()) {
        if (!m_file.truncate())
            throw cannotWrite(m_path);
        return;
    }
    QByteArray text;
    for (const Open& entry : stillOpen) {
        text += "S " + escaped(entry.backupPath) + '\t' + escaped(entry.outboxPath) + '\n';
        if (entry.moved)
            text += "M " + escaped(entry.backupPath) + '\n';
    }
    // Whole or not at all: the old journal stays until the new one is on
    // the disk.
    if (!Fs::writeFileAtomic(m_path, text, 0644) || !m_file.open(m_path))
        throw cannotWrite(m_path);
}
