#pragma once

// The tests' view, in its counting mode: it keeps no lines, so the
// benchmarks grow no memory of their own while they measure the engine's.
#include "recordingview.h"
#include "timestamp.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <map>
#include <string>
#include <vector>

// The real clock, remembering the first time it gave since forget(), so that
// a benchmark can find the backup name a tick chose (a fate settled after it
// asks the clock too).
class RememberingClock : public Clock
{
public:
    QDateTime now() const override
    {
        const QDateTime time = QDateTime::currentDateTime();
        if (!last.isValid())
            last = time;
        return time;
    }
    void forget() { last = QDateTime(); }
    mutable QDateTime last;
};

// A clock that always gives one time.
class StillClock : public Clock
{
public:
    explicit StillClock(QDateTime t)
        : time(std::move(t))
    {
    }
    QDateTime now() const override { return time; }
    QDateTime time;
};

namespace Bench {

// A reply that accepts a record: zeros but for the counter and result "0".
// The benchmarks' sinks answer every record with it, as a gateway does:
// records left unanswered would soon hold the tick back.
QByteArray acceptedReply();

// The three lines of every message file the benchmarks write.
extern const QByteArray MessageText;

// Where benchmark data goes: $SMS_BENCH_DIR, else bench-data in the working
// directory, on the working disk beside the build.
QByteArray dataRoot();

// Removes a directory tree if present, then creates the directory empty.
void freshDirectory(const QByteArray& dir);
void removeTree(const QByteArray& dir);

// Creates count files named prefix + index + ext holding data.
void createFiles(
    const QByteArray& dir, const QByteArray& prefix, const QByteArray& ext, int count, const QByteArray& data);
void writeFile(const QByteArray& path, const QByteArray& data);

// The directory's names in readdir order ("." and ".." included).
QList<QByteArray> listing(const QByteArray& dir);

struct Placement
{
    QByteArray name;
    qsizetype position = 0; // 1-based, in readdir order
    qsizetype entries = 0; // all entries, "." and ".." included
    int candidates = 0; // names tried
};

// Places one ".sms" file so that readdir yields it last or nearly so. On a
// file system that lists in name-hash order (ext4) creation order says
// nothing, so names are tried in a scratch directory (the order of two names
// is the same in every directory of one file system) until one lands at or
// past the slot of the last tolerated entry; the result is then checked in
// the real directory.
Placement placeSmsLast(const QByteArray& dir, const QByteArray& scratch, qsizetype tolerance);

// Walks the directory a few times so the timed walks find it cached.
void warm(const QByteArray& dir);

// Resident set size of this process in KiB.
qint64 residentKiB();

// File system type name of the path (from /proc/self/mountinfo's longest
// matching mount point).
QByteArray fileSystemOf(const QByteArray& path);

// A reporter that prints as usual and keeps each benchmark's figures.
class KeepingReporter : public benchmark::ConsoleReporter
{
public:
    struct Figures
    {
        double realTime = 0; // in the benchmark's time unit
        double cpuTime = 0;
        std::map<std::string, double> counters;
    };
    void ReportRuns(const std::vector<Run>& runs) override;
    // Median when repetitions were run, the single run otherwise.
    std::map<std::string, Figures> figures;
};

// One row of the results table, marked for scripts/bench.sh to collect.
void row(const QString& measure, const QString& figure, const QString& goal, bool met);
void note(const QString& text);

QString micros(double us);
QString thousands(qint64 n);

} // namespace Bench
