// Time to find the next message file against the floor: a bare readdir loop
// doing the same comparisons, over the same directory, in the same run.
#include "benchsupport.h"
#include "outbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <array>
#include <cstring>
#include <dirent.h>
#include <iostream>

namespace {

const std::array<int, 5> Sizes = { 0, 10, 1000, 10000, 100000 };

// The floor: one walk that stops at the first ".sms" and notes the first of
// each other kind on the way, with nothing else around it.
int floorFind(const char* dir, char (&found)[4][256])
{
    static constexpr const char* Suffixes[4] = { ".sms", ".ring", ".lnol", ".flh" };
    static constexpr size_t Lengths[4] = { 4, 5, 5, 4 };
    bool have[4] = { false, false, false, false };
    DIR* d = ::opendir(dir);
    if (!d)
        return -1;
    while (const dirent* e = ::readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        int kind = -1;
        for (int k = 0; k < 4; ++k) {
            if (len >= Lengths[k] && std::memcmp(e->d_name + len - Lengths[k], Suffixes[k], Lengths[k]) == 0) {
                kind = k;
                break;
            }
        }
        if (kind < 0 || have[kind])
            continue;
        have[kind] = true;
        std::memcpy(found[kind], e->d_name, len + 1);
        if (kind == 0)
            break;
    }
    ::closedir(d);
    for (int k = 0; k < 4; ++k) {
        if (have[k])
            return k;
    }
    return -1;
}

struct Layout
{
    QByteArray label; // "sms_last" or "flh_only"
    int flh = 0;
    QByteArray dir;
    Bench::Placement placed;
};

QString layoutName(const Layout& l)
{
    return QString::fromLatin1(l.label) + QLatin1Char('/') + QString::number(l.flh);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray root = Bench::dataRoot() + "/outbox";
    Bench::freshDirectory(root);
    std::cout << "Data directory: " << root.constData() << " on " << Bench::fileSystemOf(root).constData() << "\n";

    std::vector<Layout> layouts;
    for (int n : Sizes) {
        for (const char* label : { "sms_last", "flh_only" }) {
            Layout l;
            l.label = label;
            l.flh = n;
            l.dir = root + '/' + label + '_' + QByteArray::number(n);
            QElapsedTimer made;
            made.start();
            Bench::freshDirectory(l.dir);
            // Every .flh first, then the .sms. The .flh files are never read
            // here, so they stay empty: no data blocks to write.
            Bench::createFiles(l.dir, "f", ".flh", n, QByteArray());
            if (l.label == "sms_last") {
                l.placed = Bench::placeSmsLast(l.dir, root + "/scratch", n / 1000);
                std::cout << "  " << l.dir.constData() << ": " << l.placed.name.constData() << " at readdir position "
                          << l.placed.position << " of " << l.placed.entries << " (" << l.placed.candidates
                          << " names tried)\n";
            }
            Bench::warm(l.dir);
            std::cout << "  made " << l.dir.constData() << " in " << made.elapsed() << " ms\n" << std::flush;
            layouts.push_back(l);
        }
    }

    for (const Layout& l : layouts) {
        const std::string name = layoutName(l).toStdString();
        benchmark::RegisterBenchmark(("outbox/" + name).c_str(),
            [l](benchmark::State& state) {
                Outbox outbox;
                // The walk kept for network file systems, against the floor;
                // bench_index has the index.
                outbox.setFileSystemProbe([](const QByteArray&) { return true; });
                for (auto _ : state) {
                    QByteArray found = outbox.findNextMessageFile(l.dir + '/');
                    benchmark::DoNotOptimize(found);
                }
                state.counters["visited"] = double(outbox.lastWalkVisited());
            })
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(9)
            ->ReportAggregatesOnly(true)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("floor/" + name).c_str(),
            [l](benchmark::State& state) {
                char found[4][256];
                for (auto _ : state) {
                    int kind = floorFind(l.dir.constData(), found);
                    benchmark::DoNotOptimize(kind);
                    benchmark::DoNotOptimize(found);
                }
            })
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(9)
            ->ReportAggregatesOnly(true)
            ->MinTime(0.2);
    }

    benchmark::Initialize(&argc, argv);
    Bench::KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::cout << "\nFind vs floor (medians of 9 repetitions):\n";
    for (const Layout& l : layouts) {
        const std::string name = layoutName(l).toStdString();
        const auto o = reporter.figures.find("outbox/" + name);
        const auto f = reporter.figures.find("floor/" + name);
        if (o == reporter.figures.end() || f == reporter.figures.end())
            continue;
        const double realRatio = o->second.realTime / f->second.realTime;
        const double cpuRatio = o->second.cpuTime / f->second.cpuTime;
        std::cout << "  " << name << ": real " << o->second.realTime << " us vs floor " << f->second.realTime << " us ("
                  << realRatio << "x), cpu " << o->second.cpuTime << " us vs floor " << f->second.cpuTime << " us ("
                  << cpuRatio << "x)\n";
        // Every size, for the table of sizes under the results.
        std::cout << "@size | " << Bench::thousands(l.flh).toStdString() << " | "
                  << (l.label == "sms_last"
                             ? QStringLiteral("one .sms after the .flh, readdir %1 of %2")
                                   .arg(Bench::thousands(l.placed.position), Bench::thousands(l.placed.entries))
                             : QStringLiteral(".flh only"))
                         .toStdString()
                  << " | " << Bench::micros(o->second.realTime).toStdString() << " / "
                  << Bench::micros(f->second.realTime).toStdString() << " ("
                  << QString::number(realRatio, 'f', 2).toStdString() << "×) | "
                  << Bench::micros(o->second.cpuTime).toStdString() << " / "
                  << Bench::micros(f->second.cpuTime).toStdString() << " ("
                  << QString::number(cpuRatio, 'f', 2).toStdString() << "×) |\n";
        if (l.flh != 100000)
            continue;
        const bool smsLast = l.label == "sms_last";
        const QString measure = smsLast
            ? QStringLiteral("find next file: one .sms after %1 .flh (readdir position %2 of %3)")
                  .arg(Bench::thousands(l.flh), Bench::thousands(l.placed.position), Bench::thousands(l.placed.entries))
            : QStringLiteral("find next file: %1 .flh only (whole walk)").arg(Bench::thousands(l.flh));
        const QString figure = QStringLiteral("wall %1 vs floor %2 (%3×); CPU %4 vs %5 (%6×)")
                                   .arg(Bench::micros(o->second.realTime), Bench::micros(f->second.realTime))
                                   .arg(realRatio, 0, 'f', 2)
                                   .arg(Bench::micros(o->second.cpuTime), Bench::micros(f->second.cpuTime))
                                   .arg(cpuRatio, 0, 'f', 2);
        Bench::row(measure, figure, QStringLiteral("≤ 1.5× floor"), realRatio <= 1.5 && cpuRatio <= 1.5);
    }
    for (const Layout& l : layouts) {
        if (l.label == "sms_last")
            Bench::note(QStringLiteral("outbox with %1 .flh: the .sms at readdir position %2 of %3 entries")
                            .arg(Bench::thousands(l.flh), Bench::thousands(l.placed.position),
                                Bench::thousands(l.placed.entries)));
    }
    Bench::note(QStringLiteral("outbox data on %1, dentry cache warmed by 3 walks before timing")
                    .arg(QString::fromLocal8Bit(Bench::fileSystemOf(root))));
    if (qEnvironmentVariableIsEmpty("SMS_BENCH_KEEP"))
        Bench::removeTree(root);
    return 0;
}
