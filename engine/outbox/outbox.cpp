#include "outbox.h"

#include "outboxindex.h"

#include "fsutil.h"
#include "paths.h"
#include "smserror.h"
#include "textfile.h"
#include "timestamp.h"

#include <QDateTime>
#include <QFile>

#include <utility>

QByteArray extensionOf(const QByteArray& name)
{
    const qsizetype dot = name.lastIndexOf('.');
    return dot < 0 ? QByteArray() : name.mid(dot);
}

FileStamp fileStamp(const QByteArray& path)
{
    Fs::FileInfo info;
    if (!Fs::fileInfo(path, &info))
        return {};
    return { info.size, info.mtimeNs };
}

namespace {
// The bytes of a line past this many never reach a record (its widest slot
// is 160): they are read past, not kept, so a huge file cannot fill memory.
constexpr qsizetype KeptPerLine = 1024 * 1024;
} // namespace

bool Outbox::shouldPassOver(const QByteArray& outboxDir, const QByteArray& name)
{
    auto it = m_passedOver.find(name);
    if (it == m_passedOver.end())
        return false;
    if (fileStamp(joinDir(outboxDir, name)) == it.value())
        return true;
    // Changed (or gone): try it again.
    m_passedOver.erase(it);
    return false;
}

Outbox::Outbox(const Clock& clock)
    : m_isNetwork(&Fs::isNetworkFileSystem)
    , m_clock(clock)
{
}

Outbox::~Outbox() = default;

void Outbox::setFileSystemProbe(std::function<bool(const QByteArray&)> isNetwork)
{
    m_isNetwork = std::move(isNetwork);
    m_following = false; // probed again on the next search
}

qsizetype Outbox::fullScans() const
{
    return m_index ? m_index->fullScans() : 0;
}

qsizetype Outbox::indexedCount() const
{
    qsizetype n = 0;
    if (m_index) {
        for (const auto& names : m_index->kinds())
            n += qsizetype(names.size());
    }
    return n;
}

void Outbox::follow(const QByteArray& outboxDir)
{
    if (!m_index) {
        m_index = std::make_unique<OutboxIndex>([this](const QByteArray& name) { m_waiting.remove(name); },
            [this] {
                if (m_queueListener)
                    m_queueListener();
            },
            m_clock);
    }
    if (!m_following || m_index->directory() != outboxDir) {
        // Started, or the outbox setting changed: one full scan.
        m_index->follow(outboxDir, m_isNetwork(outboxDir.isEmpty() ? QByteArray(".") : outboxDir));
        m_following = true;
    }
}

std::optional<Outbox::Queue> Outbox::queue(const QByteArray& outboxDir)
{
    follow(outboxDir);
    Queue queue;
    switch (m_index->refresh()) {
    case OutboxIndex::State::Scanning:
        return std::nullopt;
    case OutboxIndex::State::Unwatched:
        // A search's walk in the last second counted them already; else a
        // counting walk, at most as often as the status is written.
        if (m_walkDir != outboxDir || std::chrono::steady_clock::now() - m_walkTime > std::chrono::seconds(1)) {
            std::array<qint64, 4> counts {};
            if (Fs::walkDirectory(outboxDir,
                    [&](const char* name, size_t len) {
                        if (const int kind = MessageKinds::indexOfName(name, len); kind >= 0)
                            ++counts[size_t(kind)];
                        return true;
                    })
                == Fs::WalkResult::Failed)
                return std::nullopt;
            m_walkCounts = counts;
            m_walkTime = std::chrono::steady_clock::now();
            m_walkDir = outboxDir;
        }
        queue.counts = m_walkCounts;
        return queue;
    case OutboxIndex::State::Ready:
        break;
    }
    for (size_t kind = 0; kind < queue.counts.size(); ++kind)
        queue.counts[kind] = qint64(m_index->kinds()[kind].size());
    queue.oldestQueued = m_index->oldestQueued();
    return queue;
}

QByteArray Outbox::findNextMessageFile(const QByteArray& outboxDir)
{
    QByteArray name = search(outboxDir);
    if (m_stepHook && !name.isEmpty())
        m_stepHook(Step::Found, name);
    return name;
}

QByteArray Outbox::search(const QByteArray& outboxDir)
{
    m_visited = 0;
    m_walked = false;
    follow(outboxDir);
    switch (m_index->refresh()) {
    case OutboxIndex::State::Scanning:
        return {};
    case OutboxIndex::State::Unwatched:
        m_walked = true;
        return walk(outboxDir);
    case OutboxIndex::State::Ready:
        break;
    }
    return pickFromIndex(outboxDir);
}

QByteArray Outbox::pickFromIndex(const QByteArray& outboxDir)
{
    // Files still being written wait behind every other file, so that one
    // held open for long cannot stop the queue.
    std::array<QByteArray, 4> firstWaiting;
    for (size_t kind = 0; kind < firstWaiting.size(); ++kind) {
        for (const auto& entry : m_index->kinds()[kind]) {
            const QByteArray name = QByteArray::fromStdString(entry.first);
            if (!m_passedOver.isEmpty() && shouldPassOver(outboxDir, name))
                continue;
            if (!m_waiting.isEmpty() && m_waiting.contains(name)) {
                if (firstWaiting[kind].isEmpty())
                    firstWaiting[kind] = name;
                continue;
            }
            return name;
        }
    }
    for (const QByteArray& name : firstWaiting) {
        if (!name.isEmpty())
            return name;
    }
    return {};
}

QByteArray Outbox::walk(const QByteArray& outboxDir)
{
    std::array<QByteArray, 4> firstOfKind;
    std::array<QByteArray, 4> firstWaiting;
    std::array<qint64, 4> counts {};
    QSet<QByteArray> waitingSeen;
    const auto result = Fs::walkDirectory(outboxDir, [&](const char* name, size_t len) {
        ++m_visited;
        const int kind = MessageKinds::indexOfName(name, len);
        if (kind < 0)
            return true;
        ++counts[size_t(kind)];
        const QByteArray entryName(name, qsizetype(len));
        if (!m_waiting.isEmpty() && m_waiting.contains(entryName)) {
            waitingSeen.insert(entryName);
            QByteArray& first = firstWaiting[size_t(kind)];
            if (first.isEmpty() || entryName < first)
                first = entryName;
            return true;
        }
        QByteArray& first = firstOfKind[size_t(kind)];
        if (!first.isEmpty() && !(entryName < first))
            return true;
        if (!m_passedOver.isEmpty() && shouldPassOver(outboxDir, entryName))
            return true;
        first = entryName;
        return true;
    });
    if (result == Fs::WalkResult::Failed)
        return {};
    // The status file's counts, without a walk of their own.
    m_walkCounts = counts;
    m_walkTime = std::chrono::steady_clock::now();
    m_walkDir = outboxDir;
    // Forget waiting files that went away.
    m_waiting = waitingSeen;
    for (const QByteArray& name : firstOfKind) {
        if (!name.isEmpty())
            return name;
    }
    for (const QByteArray& name : firstWaiting) {
        if (!name.isEmpty())
            return name;
    }
    return {};
}

Outbox::Read Outbox::readMessageFile(
    const QByteArray& outboxDir, const QByteArray& name, GatewayRecord::Message* message)
{
    const QByteArray path = joinDir(outboxDir, name);
    Fs::ReadFile file;
    switch (file.open(path)) {
    case Fs::ReadFile::Opened::Gone:
        return Read::Gone; // taken away since the search: nothing to send
    case Fs::ReadFile::Opened::Failed:
        throw SmsError::cannotOpenFile(QFile::decodeName(path));
    case Fs::ReadFile::Opened::Yes:
        break;
    }
    // A read lease is refused while any process holds the file open for
    // writing: the writer has not finished, so leave it for a later tick.
    switch (file.lease()) {
    case Fs::ReadFile::Lease::Held:
        break;
    case Fs::ReadFile::Lease::Busy:
        m_waiting.insert(name);
        return Read::Waiting;
    case Fs::ReadFile::Lease::Refused:
        if (!std::exchange(m_leaseRefusalSeen, true))
            m_leaseRefused = path;
        [[fallthrough]];
    case Fs::ReadFile::Lease::None:
        // No lease to be had on this file: a file written to in the last
        // moments may still be growing. A time far off (a skewed clock) must
        // not hold the file back for ever.
        if (const auto age = m_clock.now().toSecsSinceEpoch() - file.modifiedSeconds(); age < 2 && age > -2) {
            m_waiting.insert(name);
            return Read::Waiting;
        }
        break;
    }
    // Split by the text-file rule while reading, and stop at the third line
    // end or a NUL: three lines are all a message uses.
    TextFile::LineSplitter splitter(3, KeptPerLine);
    char chunk[65536];
    for (;;) {
        const qint64 n = file.read(chunk, sizeof chunk);
        if (n < 0)
            throw SmsError::cannotOpenFile(QFile::decodeName(path));
        if (n == 0 || !splitter.feed(chunk, n))
            break;
    }
    file.close();
    const QList<QByteArray> lines = splitter.finish();
    if (lines.size() < 3)
        throw SmsError::listIndexOutOfBounds(int(lines.size()));
    m_waiting.remove(name);
    message->destination = lines[0];
    message->sender = lines[1];
    message->text = lines[2];
    if (m_stepHook)
        m_stepHook(Step::Read, name);
    return Read::Yes;
}

QByteArray Outbox::backupName(const QByteArray& backupDir, const QByteArray& extension, const Clock& clock)
{
    return backupName(backupDir, extension, clock.now());
}

QByteArray Outbox::backupName(const QByteArray& backupDir, const QByteArray& extension, const QDateTime& at)
{
    return joinDir(backupDir, "SmsFile_" + timeStamp(at) + extension);
}

Fs::Moved Outbox::archiveMessageFile(const QByteArray& outboxDir, const QByteArray& name, const QByteArray& backupPath)
{
    // A backup put into the outbox itself would be found and sent again on
    // the next tick, and on every tick after.
    const qsizetype slash = backupPath.lastIndexOf('/');
    const QByteArray backupDir = slash < 0 ? QByteArray(".") : backupPath.left(slash + 1);
    if (Fs::sameFile(outboxDir.isEmpty() ? QByteArray(".") : outboxDir, backupDir))
        return Fs::Moved::Failed;
    return Fs::moveNoReplace(joinDir(outboxDir, name), backupPath);
}

QByteArray Outbox::takeLeaseRefusal()
{
    return std::exchange(m_leaseRefused, QByteArray());
}

void Outbox::passOver(const QByteArray& outboxDir, const QByteArray& name)
{
    m_passedOver.insert(name, fileStamp(joinDir(outboxDir, name)));
}
