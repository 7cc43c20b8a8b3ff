#include "MessagesData.h"

#include "fsutil.h"
#include "ledgerreader.h"
#include "messagekind.h"
#include "outboxindex.h"
#include "paths.h"
#include "textfile.h"
#include "timestamp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <string_view>

namespace {
// A worker's turn: long enough to read a chunk, short enough to let a newer
// request in soon.
constexpr qint64 SliceMs = 40;
constexpr int SyncDelayMs = 250;
constexpr int WalkEveryMs = 3000;
constexpr int AgeEveryMs = 5000;

// The first three lines of a message file, read without blocking on a FIFO
// and without holding more than a few kilobytes of a large file.
QList<QByteArray> headLines(const QByteArray& path)
{
    Fs::ReadFile file;
    if (file.open(path) != Fs::ReadFile::Opened::Yes)
        return {};
    TextFile::LineSplitter splitter(3, 400);
    char buffer[4096];
    for (int i = 0; i < 4; ++i) {
        const qint64 n = file.read(buffer, sizeof buffer);
        if (n <= 0 || !splitter.feed(buffer, n))
            break;
    }
    return splitter.finish();
}

std::string_view view(const QByteArray& bytes)
{
    return { bytes.constData(), size_t(bytes.size()) };
}

// Kind first, then the name's bytes: the order the outbox is sent in.
bool before(int kindA, std::string_view a, int kindB, std::string_view b)
{
    return kindA != kindB ? kindA < kindB : a < b;
}

QString age(qint64 seconds)
{
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(std::max<qint64>(seconds, 0));
    if (seconds < 2 * 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < 2 * 86400)
        return QStringLiteral("%1 h").arg(seconds / 3600);
    return QStringLiteral("%1 d").arg(seconds / 86400);
}
} // namespace

MessagesReader::MessagesReader(const QByteArray& dir)
    : m_dir(dir)
    , m_names(QCoreApplication::applicationPid())
{
}

MessagesReader::~MessagesReader() = default;

std::optional<FateRow> MessagesReader::row(const QByteArray& text) const
{
    std::optional<Ledger::Line> line = Ledger::parse(text);
    if (!line || (m_filter.outcome && line->outcome != *m_filter.outcome))
        return std::nullopt;
    const QByteArray& backup = line->backupPath;
    const QList<QByteArray> lines = headLines(backup.startsWith('/') ? backup : joinDir(m_dir, backup));
    FateRow fate { std::move(*line), lines.value(0), lines.value(2) };
    if (!m_filter.number.isEmpty() && !fate.number.contains(m_filter.number))
        return std::nullopt;
    return fate;
}

void MessagesReader::startFates(quint64 generation, const FateFilter& filter, int rows)
{
    m_generation = generation;
    m_filter = filter;
    m_older.clear();
    m_olderNext = 0;
    m_backward = std::make_unique<Ledger::BackwardReader>(m_dir);
    m_forward = std::make_unique<Ledger::ForwardReader>(m_dir, m_backward->currentEnd());
    loadOlder(generation, rows);
}

void MessagesReader::loadOlder(quint64 generation, int rows)
{
    if (generation != m_generation || !m_backward)
        return;
    QList<FateRow> found;
    bool done = false;
    QElapsedTimer slice;
    slice.start();
    while (found.size() < rows && !slice.hasExpired(SliceMs) && wanted.load() == generation) {
        if (m_olderNext >= m_older.size()) {
            m_older.clear();
            m_olderNext = 0;
            if (!m_backward->readOlder(&m_older)) {
                done = true;
                break;
            }
            continue;
        }
        if (std::optional<FateRow> fate = row(m_older.at(m_olderNext++)))
            found.append(std::move(*fate));
    }
    Q_EMIT olderRead(generation, found, done);
}

void MessagesReader::readAppended(quint64 generation)
{
    if (generation != m_generation || !m_forward)
        return;
    QList<QByteArray> lines;
    m_forward->readAppended(&lines);
    QList<FateRow> found;
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (std::optional<FateRow> fate = row(*it))
            found.append(std::move(*fate));
    }
    if (!found.isEmpty())
        Q_EMIT appendedRead(generation, found);
}

void MessagesReader::readQueued(const QByteArray& outboxDir, const QList<QueuedFile>& files)
{
    QList<QueuedLines> read;
    for (const QueuedFile& file : files) {
        const QList<QByteArray> lines = headLines(joinDir(outboxDir, file.name));
        read.append({ file.kind, file.name, lines.value(0), lines.value(1), lines.value(2) });
    }
    Q_EMIT queuedRead(read);
}

void MessagesReader::walkOutbox(const QByteArray& outboxDir)
{
    QList<QueuedFile> files;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    Fs::walkDirectory(outboxDir, [&](const char* name, size_t length) {
        const int kind = MessageKinds::indexOfName(name, length);
        if (kind >= 0) {
            const QByteArray entry(name, qsizetype(length));
            Fs::FileInfo info;
            const qint64 queued = Fs::fileInfo(joinDir(outboxDir, entry), &info) ? info.changedSeconds : now;
            files.append({ kind, entry, queued });
        }
        return true;
    });
    std::sort(files.begin(), files.end(),
        [](const QueuedFile& a, const QueuedFile& b) { return before(a.kind, view(a.name), b.kind, view(b.name)); });
    Q_EMIT outboxWalked(files);
}

void MessagesReader::requeue(const QByteArray& outboxDir, const QByteArray& backupPath)
{
    Q_EMIT requeued(backupPath, Requeue::requeue(m_dir, outboxDir, backupPath, false, m_names));
}

FatesModel::FatesModel(MessagesReader* reader, QObject* parent)
    : QAbstractTableModel(parent)
    , m_reader(reader)
{
    connect(reader, &MessagesReader::olderRead, this, &FatesModel::takeOlder);
    connect(reader, &MessagesReader::appendedRead, this, &FatesModel::takeAppended);
}

void FatesModel::setFilter(const FateFilter& filter)
{
    beginResetModel();
    m_filter = filter;
    m_rows.clear();
    m_done = false;
    m_owed = FirstRows;
    const quint64 generation = ++m_generation;
    m_reader->wanted.store(generation);
    endResetModel();
    QMetaObject::invokeMethod(
        m_reader, [reader = m_reader, generation, filter] { reader->startFates(generation, filter, FirstRows); },
        Qt::QueuedConnection);
    Q_EMIT progress();
}

void FatesModel::follow()
{
    QMetaObject::invokeMethod(
        m_reader, [reader = m_reader, generation = m_generation] { reader->readAppended(generation); },
        Qt::QueuedConnection);
}

void FatesModel::request(int rows)
{
    QMetaObject::invokeMethod(
        m_reader, [reader = m_reader, generation = m_generation, rows] { reader->loadOlder(generation, rows); },
        Qt::QueuedConnection);
}

void FatesModel::takeOlder(quint64 generation, const QList<FateRow>& rows, bool done)
{
    if (generation != m_generation)
        return;
    if (!rows.isEmpty()) {
        beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + rows.size() - 1));
        m_rows += rows;
        endInsertRows();
    }
    m_owed -= int(rows.size());
    m_done = done;
    // A filter that lets few lines through reads on until it has found what
    // was asked for, a slice at a time.
    if (!done && m_owed > 0)
        request(m_owed);
    else
        m_owed = std::max(m_owed, 0);
    Q_EMIT progress();
}

void FatesModel::takeAppended(quint64 generation, const QList<FateRow>& rows)
{
    if (generation != m_generation)
        return;
    beginInsertRows({}, 0, int(rows.size() - 1));
    // Qt's list keeps room at its front: no copy of what is loaded.
    for (auto it = rows.crbegin(); it != rows.crend(); ++it)
        m_rows.prepend(*it);
    endInsertRows();
    Q_EMIT progress();
}

int FatesModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int FatesModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FatesModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const FateRow& fate = m_rows.at(index.row());
    switch (Column(index.column())) {
    case Time: {
        // The ledger's ISO time, shown as a person reads it; whole in the tip.
        const QString iso = QString::fromLatin1(fate.line.time);
        if (role == Qt::ToolTipRole)
            return iso;
        const QDateTime at = QDateTime::fromString(iso, Qt::ISODateWithMs);
        return at.isValid() ? at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : iso;
    }
    case Outcome:
        return QLatin1String(Ledger::outcomeName(fate.line.outcome));
    case Number:
        return QString::fromLatin1(fate.number);
    case Text:
        return QString::fromLatin1(fate.text);
    case Backup:
        return QFile::decodeName(fate.line.backupPath);
    case ColumnCount:
        break;
    }
    return {};
}

QVariant FatesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const names[] = { "Time", "Outcome", "Number", "Text", "Backup file" };
    return section >= 0 && section < ColumnCount ? QLatin1String(names[section]) : QVariant();
}

bool FatesModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && !m_done && m_owed <= 0;
}

void FatesModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    m_owed = MoreRows;
    request(MoreRows);
}

OutboxModel::OutboxModel(MessagesReader* reader, const Clock& clock, QObject* parent)
    : QAbstractTableModel(parent)
    , m_reader(reader)
    , m_clock(clock)
{
    connect(reader, &MessagesReader::queuedRead, this, &OutboxModel::takeLines);
    connect(reader, &MessagesReader::outboxWalked, this, [this](const QList<QueuedFile>& files) {
        m_walking = false;
        if (!m_walked)
            return;
        std::vector<Entry> entries;
        entries.reserve(size_t(files.size()));
        for (const QueuedFile& file : files)
            entries.push_back({ file.kind, view(file.name), file.queued });
        merge(entries);
        m_ready = true;
        Q_EMIT progress();
    });
    // Changes come in bursts (a file per tick, many dropped at once): the
    // rows follow them a few times a second.
    m_syncTimer.setSingleShot(true);
    connect(&m_syncTimer, &QTimer::timeout, this, &OutboxModel::sync);
    m_readTimer.setSingleShot(true);
    connect(&m_readTimer, &QTimer::timeout, this, [this] {
        QMetaObject::invokeMethod(
            m_reader,
            [reader = m_reader, dir = m_dir, files = std::exchange(m_toRead, {})] { reader->readQueued(dir, files); },
            Qt::QueuedConnection);
    });
    m_ageTimer.setInterval(AgeEveryMs);
    connect(&m_ageTimer, &QTimer::timeout, this, [this] {
        if (!m_rows.isEmpty())
            Q_EMIT dataChanged(index(0, Age), index(int(m_rows.size() - 1), Age), { Qt::DisplayRole });
    });
}

OutboxModel::~OutboxModel() = default;

void OutboxModel::follow(const QByteArray& dir)
{
    beginResetModel();
    m_rows.clear();
    m_lines.clear();
    m_toRead.clear();
    m_filling = false;
    m_scans = 0;
    m_dir = dir;
    m_ready = false;
    m_walked = false;
    m_index.reset();
    endResetModel();
    m_syncTimer.stop();
    m_ageTimer.stop();
    if (dir.isEmpty())
        return;
    m_gone.clear();
    m_index = std::make_unique<OutboxIndex>([this](const QByteArray& name) { m_gone.append(name); },
        [this] {
            if (!m_syncTimer.isActive())
                m_syncTimer.start(SyncDelayMs);
        },
        m_clock);
    m_index->follow(dir, Fs::isNetworkFileSystem(dir));
    m_ageTimer.start();
    sync();
}

void OutboxModel::sync()
{
    if (!m_index)
        return;
    switch (m_index->refresh()) {
    case OutboxIndex::State::Ready: {
        m_walked = false;
        if (m_index->fullScans() != m_scans) {
            // A new scan: the rows are filled anew from it, a batch a turn.
            beginResetModel();
            m_rows.clear();
            m_lines.clear();
            endResetModel();
            m_scans = m_index->fullScans();
            m_filling = true;
            m_fillKind = 0;
            m_fillAfter.clear();
            m_gone.clear();
            m_ready = false;
        }
        if (m_filling) {
            removeGone();
            fillSome();
            if (m_filling) {
                m_syncTimer.start(0);
                Q_EMIT progress();
                break;
            }
        }
        // Files come and go a few at a time, mostly at the ends: the whole
        // outbox is gone through only after a surprise (a name that came
        // before the end of its kind, or before the fill had passed it).
        if (!applyChanges()) {
            std::vector<Entry> entries;
            const OutboxIndex::Kinds& kinds = m_index->kinds();
            for (size_t kind = 0; kind < kinds.size(); ++kind) {
                for (const auto& [name, queued] : kinds[kind])
                    entries.push_back({ int(kind), name, queued });
            }
            merge(entries);
        }
        m_gone.clear();
        m_ready = true;
        Q_EMIT progress();
        break;
    }
    case OutboxIndex::State::Scanning:
        // Its scan ends on a thread of its own and tells nobody.
        m_syncTimer.start(SyncDelayMs);
        break;
    case OutboxIndex::State::Unwatched:
        // No notifications here (a network file system): walked on the
        // reader's thread now and then.
        m_walked = true;
        if (!m_walking) {
            m_walking = true;
            QMetaObject::invokeMethod(
                m_reader, [reader = m_reader, dir = m_dir] { reader->walkOutbox(dir); }, Qt::QueuedConnection);
        }
        m_syncTimer.start(WalkEveryMs);
        break;
    }
}

void OutboxModel::merge(const std::vector<Entry>& files)
{
    // Both are in sending order: what went is removed and what came is
    // inserted, a run at a time, so the view keeps its place.
    auto rowBefore = [this, &files](qsizetype row, size_t next) {
        return before(m_rows[row].file.kind, view(m_rows[row].file.name), files[next].kind, files[next].name);
    };
    auto entryBefore = [this, &files](size_t next, qsizetype row) {
        return before(files[next].kind, files[next].name, m_rows[row].file.kind, view(m_rows[row].file.name));
    };
    qsizetype row = 0;
    size_t next = 0;
    while (row < m_rows.size() || next < files.size()) {
        const bool rowsDone = row == m_rows.size();
        const bool filesDone = next == files.size();
        if (!rowsDone && !filesDone && !rowBefore(row, next) && !entryBefore(next, row)) {
            ++row;
            ++next;
        } else if (filesDone || (!rowsDone && rowBefore(row, next))) {
            qsizetype end = row + 1;
            while (end < m_rows.size() && (filesDone || rowBefore(end, next)))
                ++end;
            dropRows(row, end - row);
        } else {
            size_t end = next + 1;
            while (end < files.size() && (rowsDone || entryBefore(end, row)))
                ++end;
            insertEntries(row, files.data() + next, qsizetype(end - next));
            row += qsizetype(end - next);
            next = end;
        }
    }
}

void OutboxModel::insertEntries(qsizetype row, const Entry* first, qsizetype count)
{
    auto rowOf = [](const Entry& e) {
        return Row { QueuedFile { e.kind, QByteArray(e.name.data(), qsizetype(e.name.size())), e.queued } };
    };
    if (row == m_rows.size()) {
        beginInsertRows({}, int(row), int(row + count - 1));
        m_rows.reserve(row + count);
        for (qsizetype i = 0; i < count; ++i)
            m_rows.append(rowOf(first[i]));
        endInsertRows();
        return;
    }
    QList<Row> added(count);
    for (qsizetype i = 0; i < count; ++i) {
        QueuedFile& file = added[i].file;
        file.kind = first[i].kind;
        file.name = QByteArray(first[i].name.data(), qsizetype(first[i].name.size()));
        file.queued = first[i].queued;
    }
    beginInsertRows({}, int(row), int(row + count - 1));
    m_rows.insert(row, count, Row());
    std::move(added.begin(), added.end(), m_rows.begin() + row);
    endInsertRows();
}

void OutboxModel::dropRows(qsizetype row, qsizetype count)
{
    beginRemoveRows({}, int(row), int(row + count - 1));
    if (!m_lines.isEmpty()) {
        for (qsizetype i = row; i < row + count; ++i)
            m_lines.remove(m_rows[i].file.name);
    }
    m_rows.remove(row, count);
    endRemoveRows();
}

void OutboxModel::removeGone()
{
    for (const QByteArray& name : std::as_const(m_gone)) {
        const qsizetype at = find(MessageKinds::indexOfName(name.constData(), size_t(name.size())), name);
        if (at >= 0)
            dropRows(at, 1);
    }
    m_gone.clear();
}

void OutboxModel::fillSome()
{
    const OutboxIndex::Kinds& kinds = m_index->kinds();
    std::vector<Entry> batch;
    while (m_fillKind < int(kinds.size()) && batch.size() < size_t(OutboxModel::FillRows)) {
        const OutboxIndex::Names& names = kinds[size_t(m_fillKind)];
        auto it = m_fillAfter.empty() ? names.begin() : names.upper_bound(m_fillAfter);
        for (; it != names.end() && batch.size() < size_t(OutboxModel::FillRows); ++it)
            batch.push_back({ m_fillKind, it->first, it->second });
        if (it == names.end()) {
            ++m_fillKind;
            m_fillAfter.clear();
        } else {
            m_fillAfter = std::string(batch.back().name);
        }
    }
    if (!batch.empty())
        insertEntries(m_rows.size(), batch.data(), qsizetype(batch.size()));
    m_filling = m_fillKind < int(kinds.size());
}

bool OutboxModel::applyChanges()
{
    removeGone();
    const OutboxIndex::Kinds& kinds = m_index->kinds();
    qsizetype expected = -m_rows.size();
    for (const OutboxIndex::Names& names : kinds)
        expected += qsizetype(names.size());
    if (expected <= 0)
        return expected == 0;
    // The names new since are those after each kind's last row.
    std::array<std::vector<Entry>, 4> tails;
    qsizetype found = 0;
    for (size_t kind = 0; kind < kinds.size(); ++kind) {
        const qsizetype end = kindEnd(int(kind));
        const bool any = end > 0 && m_rows[end - 1].file.kind == int(kind);
        for (auto it = kinds[kind].crbegin(); it != kinds[kind].crend(); ++it) {
            if (any && std::string_view(it->first) <= view(m_rows[end - 1].file.name))
                break;
            if (++found > expected)
                return false;
            tails[kind].push_back({ int(kind), it->first, it->second });
        }
    }
    if (found != expected)
        return false;
    // From the last kind back, so the rows before keep their places.
    for (size_t kind = kinds.size(); kind-- > 0;) {
        std::reverse(tails[kind].begin(), tails[kind].end());
        if (!tails[kind].empty())
            insertEntries(kindEnd(int(kind)), tails[kind].data(), qsizetype(tails[kind].size()));
    }
    return true;
}

qsizetype OutboxModel::kindEnd(int kind) const
{
    return std::upper_bound(m_rows.cbegin(), m_rows.cend(), kind, [](int k, const Row& r) { return k < r.file.kind; })
        - m_rows.cbegin();
}

qsizetype OutboxModel::find(int kind, const QByteArray& name) const
{
    const auto it = std::lower_bound(m_rows.cbegin(), m_rows.cend(), kind,
        [&](const Row& r, int) { return before(r.file.kind, view(r.file.name), kind, view(name)); });
    if (it == m_rows.cend() || it->file.kind != kind || it->file.name != name)
        return -1;
    return it - m_rows.cbegin();
}

void OutboxModel::takeLines(const QList<QueuedLines>& lines)
{
    for (const QueuedLines& read : lines) {
        const qsizetype at = find(read.kind, read.name);
        if (at < 0)
            continue;
        m_lines.insert(read.name, { read.number, read.sender, read.text });
        Q_EMIT dataChanged(index(int(at), Number), index(int(at), Text), { Qt::DisplayRole });
    }
}

int OutboxModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int OutboxModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant OutboxModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const Row& r = m_rows.at(index.row());
    const Column column = Column(index.column());
    if ((column == Number || column == Sender || column == Text) && !r.asked) {
        // Read when first shown, a batch at a time.
        r.asked = true;
        m_toRead.append(r.file);
        if (!m_readTimer.isActive())
            m_readTimer.start(0);
    }
    switch (column) {
    case Kind:
        return QLatin1String(MessageKinds::searchOrder[size_t(r.file.kind)].word);
    case Number:
        return QString::fromLatin1(m_lines.value(r.file.name).number);
    case Sender:
        return QString::fromLatin1(m_lines.value(r.file.name).sender);
    case Text:
        return QString::fromLatin1(m_lines.value(r.file.name).text);
    case Age:
        return age(m_clock.now().toSecsSinceEpoch() - r.file.queued);
    case ColumnCount:
        break;
    }
    return {};
}

QVariant OutboxModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const names[] = { "Kind", "Number", "Sender", "Text", "Age" };
    return section >= 0 && section < ColumnCount ? QLatin1String(names[section]) : QVariant();
}
