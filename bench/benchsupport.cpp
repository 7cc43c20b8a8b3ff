#include "benchsupport.h"

#include "record.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace Bench {

QByteArray acceptedReply()
{
    QByteArray reply(GatewayRecord::Size, '\0');
    reply.replace(GatewayRecord::CounterAt, GatewayRecord::CounterWidth, "00000001");
    reply[GatewayRecord::ResultAt] = '0';
    return reply;
}

const QByteArray MessageText = "3331234567\r\nBench\r\nA message from the benchmark\r\n";

namespace {
[[noreturn]] void fail(const QByteArray& what, const QByteArray& path)
{
    throw std::runtime_error((what + " " + path + ": " + std::strerror(errno)).toStdString());
}
} // namespace

void removeTree(const QByteArray& dir)
{
    DIR* d = ::opendir(dir.constData());
    if (!d) {
        if (errno == ENOENT)
            return;
        fail("cannot open", dir);
    }
    // Unlinking in inode order keeps ext4 from touching its inode tables at
    // random, which makes hash-order removal of 100,000 files take minutes.
    std::vector<std::pair<ino_t, QByteArray>> entries;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            entries.emplace_back(e->d_ino, QByteArray(e->d_name));
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& [ino, name] : entries) {
        if (::unlinkat(::dirfd(d), name.constData(), 0) == 0)
            continue;
        if (errno == EISDIR)
            removeTree(dir + '/' + name);
        else
            fail("cannot remove", dir + '/' + name);
    }
    ::closedir(d);
    if (::rmdir(dir.constData()) != 0)
        fail("cannot remove", dir);
}

QByteArray dataRoot()
{
    const QByteArray root = qgetenv("SMS_BENCH_DIR");
    return root.isEmpty() ? QDir::currentPath().toLocal8Bit() + "/bench-data" : root;
}

void freshDirectory(const QByteArray& dir)
{
    removeTree(dir);
    QDir().mkpath(QFileInfo(QFile::decodeName(dir)).absolutePath());
    if (::mkdir(dir.constData(), 0755) != 0)
        fail("cannot create", dir);
}

void writeFile(const QByteArray& path, const QByteArray& data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("cannot create", path);
    if (::write(fd, data.constData(), size_t(data.size())) != data.size())
        fail("cannot write", path);
    ::close(fd);
}

void createFiles(
    const QByteArray& dir, const QByteArray& prefix, const QByteArray& ext, int count, const QByteArray& data)
{
    for (int i = 0; i < count; ++i)
        writeFile(dir + '/' + prefix + QByteArray::number(i) + ext, data);
}

QList<QByteArray> listing(const QByteArray& dir)
{
    QList<QByteArray> names;
    DIR* d = ::opendir(dir.constData());
    if (!d)
        fail("cannot open", dir);
    while (const dirent* e = ::readdir(d))
        names.append(QByteArray(e->d_name));
    ::closedir(d);
    return names;
}

Placement placeSmsLast(const QByteArray& dir, const QByteArray& scratch, qsizetype tolerance)
{
    const QList<QByteArray> before = listing(dir);
    // The entry the ".sms" must come after: tolerance entries short of the
    // end, and never "." or "..", which lead the listing.
    QByteArray threshold;
    for (qsizetype i = before.size() - 1 - tolerance; i >= 0; --i) {
        if (before[i] != "." && before[i] != "..") {
            threshold = before[i];
            break;
        }
    }
    constexpr int Batch = 2000;
    constexpr int MaxCandidates = 200000;
    Placement placed;
    QByteArray chosen;
    int next = 0;
    while (chosen.isEmpty() && next < MaxCandidates) {
        freshDirectory(scratch);
        if (!threshold.isEmpty())
            writeFile(scratch + '/' + threshold, QByteArray());
        QList<QByteArray> batch;
        for (int i = 0; i < Batch; ++i, ++next) {
            batch.append("m" + QByteArray::number(next) + ".sms");
            writeFile(scratch + '/' + batch.last(), QByteArray());
        }
        const QList<QByteArray> order = listing(scratch);
        bool past = threshold.isEmpty();
        for (const QByteArray& name : order) {
            if (name == threshold)
                past = true;
            else if (past && name.endsWith(".sms"))
                chosen = name; // the last one wins: furthest along
        }
        if (chosen.isEmpty() && next >= MaxCandidates)
            chosen = order.last(); // report honestly where it lands
    }
    removeTree(scratch);
    placed.candidates = next;
    placed.name = chosen;
    writeFile(dir + '/' + chosen, MessageText);
    const QList<QByteArray> after = listing(dir);
    placed.entries = after.size();
    placed.position = after.indexOf(chosen) + 1;
    return placed;
}

void warm(const QByteArray& dir)
{
    for (int pass = 0; pass < 3; ++pass)
        listing(dir);
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

QByteArray fileSystemOf(const QByteArray& path)
{
    char resolved[PATH_MAX];
    if (!::realpath(path.constData(), resolved))
        return "unknown";
    const QByteArray full(resolved);
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        return "unknown";
    QByteArray best, bestType, bestSource;
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        const qsizetype dash = f.indexOf("-");
        if (f.size() < 5 || dash < 0 || dash + 2 >= f.size())
            continue;
        const QByteArray& point = f[4];
        const bool inside = full == point || point == "/" || full.startsWith(point + '/');
        if (inside && point.size() >= best.size()) {
            best = point;
            bestType = f[dash + 1];
            bestSource = f[dash + 2];
        }
    }
    return bestType + " (" + bestSource + " on " + best + ")";
}

void KeepingReporter::ReportRuns(const std::vector<Run>& runs)
{
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.error_occurred)
            continue;
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
        if (!median && !single)
            continue;
        Figures f;
        f.realTime = run.GetAdjustedRealTime();
        f.cpuTime = run.GetAdjustedCPUTime();
        for (const auto& [name, counter] : run.counters)
            f.counters[name] = counter.value;
        figures[run.run_name.function_name] = f;
    }
}

void row(const QString& measure, const QString& figure, const QString& goal, bool met)
{
    QTextStream out(stdout);
    out << "@row | " << measure << " | " << figure << " | " << goal << " | " << (met ? "yes" : "NO") << " |\n";
}

void note(const QString& text)
{
    QTextStream out(stdout);
    out << "@note " << text << '\n';
}

QString micros(double us)
{
    if (us >= 1000)
        return QString::number(us / 1000, 'f', 2) + QStringLiteral(" ms");
    return QString::number(us, 'f', us < 10 ? 2 : 1) + QStringLiteral(" µs");
}

QString thousands(qint64 n)
{
    QLocale c(QLocale::English);
    return c.toString(n);
}

} // namespace Bench
