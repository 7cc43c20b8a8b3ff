#pragma once

#include "ledger.h"
#include "requeue.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Clock;
class OutboxIndex;

namespace Ledger {
class BackwardReader;
class ForwardReader;
} // namespace Ledger

// One fate as the Messages window shows it: the ledger's line, with the
// number and text read from the backup file.
struct FateRow
{
    Ledger::Line line;
    QByteArray number;
    QByteArray text;
};

struct FateFilter
{
    std::optional<Ledger::Outcome> outcome; // nothing: every outcome
    QByteArray number; // a part of the number; empty: any
};

// A file waiting in the outbox; its lines are read when first shown.
struct QueuedFile
{
    int kind = 0; // index in the search order
    QByteArray name;
    qint64 queued = 0; // seconds since the epoch
};

struct QueuedLines
{
    int kind = 0;
    QByteArray name;
    QByteArray number;
    QByteArray sender;
    QByteArray text;
};

// The Messages window's file reading, on a thread of its own so that a
// large ledger or outbox never holds up the window. Its methods run on that
// thread (QMetaObject::invokeMethod); the results come back as signals.
class MessagesReader : public QObject
{
    Q_OBJECT
public:
    // dir: the working directory, where the ledger is (empty: the current one).
    explicit MessagesReader(const QByteArray& dir);
    ~MessagesReader() override;

    // The generation the window wants now; a longer read for an older one
    // stops early. Set from the window's thread.
    std::atomic<quint64> wanted { 0 };

    // Reads the ledger anew from its end, keeping the lines the filter lets
    // through, and follows it from there.
    void startFates(quint64 generation, const FateFilter& filter, int rows);
    void loadOlder(quint64 generation, int rows);
    void readAppended(quint64 generation);
    void readQueued(const QByteArray& outboxDir, const QList<QueuedFile>& files);
    void walkOutbox(const QByteArray& outboxDir);
    void requeue(const QByteArray& outboxDir, const QByteArray& backupPath);

Q_SIGNALS:
    void olderRead(quint64 generation, const QList<FateRow>& rows, bool done);
    // Newest first.
    void appendedRead(quint64 generation, const QList<FateRow>& rows);
    void queuedRead(const QList<QueuedLines>& lines);
    void outboxWalked(const QList<QueuedFile>& files);
    void requeued(const QByteArray& backupPath, const Requeue::Result& result);

private:
    std::optional<FateRow> row(const QByteArray& text) const;

    QByteArray m_dir;
    quint64 m_generation = 0;
    FateFilter m_filter;
    std::unique_ptr<Ledger::BackwardReader> m_backward;
    std::unique_ptr<Ledger::ForwardReader> m_forward;
    QList<QByteArray> m_older; // read, not yet looked at
    qsizetype m_olderNext = 0;
    Requeue::Names m_names;
};

// The ledger's fates, newest first: the first rows at once, older ones as
// the view scrolls to them, newer ones as they are appended.
class FatesModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Time, Outcome, Number, Text, Backup, ColumnCount };
    static constexpr int FirstRows = 200;
    static constexpr int MoreRows = 500;

    explicit FatesModel(MessagesReader* reader, QObject* parent = nullptr);

    void setFilter(const FateFilter& filter);
    const FateFilter& filter() const { return m_filter; }
    // Reads what was appended to the ledger since the last call.
    void follow();

    const FateRow& fate(int row) const { return m_rows.at(row); }
    // The whole ledger has been read.
    bool complete() const { return m_done; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

Q_SIGNALS:
    void progress();

private:
    void request(int rows);
    void takeOlder(quint64 generation, const QList<FateRow>& rows, bool done);
    void takeAppended(quint64 generation, const QList<FateRow>& rows);

    MessagesReader* m_reader;
    FateFilter m_filter;
    QList<FateRow> m_rows;
    quint64 m_generation = 0;
    int m_owed = 0; // rows asked for and not come yet
    bool m_done = false;
};

// The files waiting in the outbox, in the order they will be sent, kept by
// change notifications (a walk on a thread where there are none).
class OutboxModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Kind, Number, Sender, Text, Age, ColumnCount };
    // Rows a first fill appends in one turn of the event loop.
    static constexpr int FillRows = 2000;

    OutboxModel(MessagesReader* reader, const Clock& clock, QObject* parent = nullptr);
    ~OutboxModel() override;

    // Follows dir from now on (empty: stops).
    void follow(const QByteArray& dir);
    const QByteArray& directory() const { return m_dir; }
    // Whether the files are known yet.
    bool ready() const { return m_ready; }
    // Whether the outbox is walked now and then rather than followed.
    bool walked() const { return m_walked; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

Q_SIGNALS:
    void progress();

private:
    struct Row
    {
        QueuedFile file;
        mutable bool asked = false; // its lines have been asked for
    };
    struct Lines
    {
        QByteArray number, sender, text;
    };
    // A file as the index or a walk holds it, in sending order.
    struct Entry
    {
        int kind;
        std::string_view name;
        qint64 queued;
    };
    void sync();
    // Appends the next rows of a first fill from the index, a batch a turn.
    void fillSome();
    void removeGone();
    void dropRows(qsizetype row, qsizetype count);
    // Applies what the index told since the last sync: false when that
    // cannot be done in place (a rescan, a name that came in the middle).
    bool applyChanges();
    void merge(const std::vector<Entry>& files);
    void insertEntries(qsizetype row, const Entry* first, qsizetype count);
    void takeLines(const QList<QueuedLines>& lines);
    qsizetype find(int kind, const QByteArray& name) const;
    // The row after the last of the kind.
    qsizetype kindEnd(int kind) const;

    MessagesReader* m_reader;
    const Clock& m_clock;
    QByteArray m_dir;
    std::unique_ptr<OutboxIndex> m_index;
    QList<Row> m_rows;
    QHash<QByteArray, Lines> m_lines; // of the rows read, by name
    mutable QList<QueuedFile> m_toRead;
    QTimer m_syncTimer;
    mutable QTimer m_readTimer;
    QTimer m_ageTimer;
    bool m_ready = false;
    bool m_walked = false;
    bool m_walking = false;
    QList<QByteArray> m_gone; // names the index told gone since the last sync
    qsizetype m_scans = 0; // the index's full scans at the last sync
    // A first fill under way: the kind and the last name appended.
    bool m_filling = false;
    int m_fillKind = 0;
    std::string m_fillAfter;
};
