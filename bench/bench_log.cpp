// The engine log under a flood: 1,000,000 appended lines with the limit at
// 1,000 and Save on. Lines per second, and resident memory at the start, the
// middle and the end, which must stay flat.
#include "benchsupport.h"
#include "enginelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <dirent.h>
#include <iostream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray dir = Bench::dataRoot() + "/log";
    Bench::freshDirectory(dir);

    constexpr qint64 Lines = 1000000;
    RecordingView view(RecordingView::Counting);
    options.lineLimit = OptionNumber::fromText("1000");
    options.saveLog = true;
    EngineLog log(view, Clock::system());
    log.setDirectory(dir);
    // What a busy link writes, a little varied.
    const QByteArray kinds[3] = { "Found SMS File Ext = .sms", "Transaction Success...", "Messages To Send = : " };

    const qint64 rssStart = Bench::residentKiB();
    qint64 rssMiddle = 0;
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < Lines; ++i) {
        const QByteArray& kind = kinds[i % 3];
        log.appendLine(i % 3 == 2 ? kind + QByteArray::number(99999999 - i).rightJustified(8, '0') : kind);
        if (i == Lines / 2)
            rssMiddle = Bench::residentKiB();
    }
    const qint64 elapsedNs = timer.nsecsElapsed();
    const qint64 rssEnd = Bench::residentKiB();

    // Every line must be in a file or still in the log.
    qint64 files = 0;
    qint64 savedLines = 0;
    for (const QByteArray& name : Bench::listing(dir)) {
        if (!name.endsWith(".log"))
            continue;
        ++files;
        FILE* f = std::fopen((dir + '/' + name).constData(), "rb");
        if (!f)
            continue;
        int c;
        while ((c = std::fgetc(f)) != EOF)
            savedLines += c == '\n';
        std::fclose(f);
    }
    const qint64 total = savedLines + log.lines().size();
    const bool complete = total == Lines + 1 && view.errors.isEmpty(); // the start line too

    const double perSecond = double(Lines) / (double(elapsedNs) / 1e9);
    std::cout << "Appended " << Lines << " lines in " << elapsedNs / 1000000 << " ms: " << qint64(perSecond)
              << " lines/s; " << files << " log files, " << savedLines << " lines saved, " << log.lines().size()
              << " still in the log; errors: " << view.errors.size() << "\n"
              << "RSS KiB: start " << rssStart << ", middle " << rssMiddle << ", end " << rssEnd << "\n";

    Bench::row(QStringLiteral("engine log: 1,000,000 lines, limit 1,000, Save on (%1 files written)")
                   .arg(Bench::thousands(files)),
        QStringLiteral("%1 lines/s%2")
            .arg(Bench::thousands(qint64(perSecond)), complete ? QString() : QStringLiteral(", LINES LOST")),
        QStringLiteral("every line kept"), complete);
    // Flat: no more than 1 MiB of growth from start to end.
    const bool flat = rssEnd - rssStart <= 1024 && rssEnd - rssMiddle <= 512;
    Bench::row(QStringLiteral("engine log: resident memory at start / middle / end"),
        QStringLiteral("%1 / %2 / %3 KiB").arg(rssStart).arg(rssMiddle).arg(rssEnd),
        QStringLiteral("flat (≤ 1 MiB growth)"), flat);
    if (qEnvironmentVariableIsEmpty("SMS_BENCH_KEEP"))
        Bench::removeTree(dir);
    return complete ? 0 : 1;
}
