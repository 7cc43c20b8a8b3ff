// The drop run: the engine follows an empty outbox, then all the files land
// at once, more than the kernel queues change events for; the index must
// recover with a full scan, and every file must reach the gateway exactly
// once, in name order within each kind.
#include "dispatchengine.h"
#include "errorroute.h"
#include "settings.h"
#include "soakchecks.h"
#include "soakoptions.h"
#include "soakruns.h"
#include "timestamp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

int runDrop(const SoakOptions& o)
{
    const int files = o.files;
    QTemporaryDir tmp;
    const QByteArray outDir = QFile::encodeName(tmp.path()) + "/outbox/";
    const QByteArray bakDir = QFile::encodeName(tmp.path()) + "/backup/";
    QDir().mkpath(QFile::decodeName(outDir));
    QDir().mkpath(QFile::decodeName(bakDir));
    SoakGateway gateway;
    if (!gateway.start(o.gatewayBinary, tmp.path() + QStringLiteral("/gateway.log"), {})) {
        std::fprintf(stderr, "soak: the gateway did not start\n");
        return 2;
    }
    SettingsStore settings;
    settings.replace({ outDir, bakDir, "127.0.0.1", QByteArray::number(gateway.port), "soak", "secret", SoakKey });
    SoakView view(tmp.path() + QStringLiteral("/engine.log()"));
    DispatchEngine engine(settings, view, Clock::system());
    engine.configure(view.options);
    view.watch(engine);
    engine.log().setDirectory(QFile::encodeName(tmp.path()) + '/');
    runGuarded(view, [&] { engine.link().start(); });
    QElapsedTimer clock;
    clock.start();
    while (!engine.tick().polling() && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    // The index follows the empty outbox before the drop.
    runGuarded(view, [&] { engine.tick().runOnce(); });
    const qsizetype scansBefore = engine.outbox().fullScans();

    // Created out of name order: the last ids first.
    for (int i = files - 1; i >= 0; --i)
        writeMessageFile(outDir, i);

    FastTicker ticker(engine, view, o.tickMs);
    ticker.start();
    clock.restart();
    while (clock.elapsed() < o.limitMs && (view.answers < files || hasFiles(outDir)))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 elapsedMs = clock.elapsed();
    ticker.stop();

    QStringList failures;
    // The gateway's log holds the records in the order they came.
    QFile log(gateway.log);
    log.open(QIODevice::ReadOnly);
    QHash<QByteArray, int> sent;
    QHash<QByteArray, QByteArray> lastOfKind;
    int outOfOrder = 0;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QByteArrayList fields = line.split('\t');
        if (fields.size() != 11 || fields[2] == "P")
            continue;
        if (++sent[fields[8]] == 1 && fields[8] < lastOfKind.value(fields[2]))
            ++outOfOrder;
        lastOfKind[fields[2]] = fields[8];
    }
    int twice = 0;
    for (const int n : std::as_const(sent))
        twice += n > 1;
    const qsizetype backups = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files).size();
    if (sent.size() != files || backups != files)
        failures.append(QStringLiteral("%1 of %2 files reached the gateway, %3 in the backup directory")
                            .arg(sent.size())
                            .arg(files)
                            .arg(backups));
    if (twice > 0)
        failures.append(QStringLiteral("%1 messages reached the gateway more than once").arg(twice));
    if (outOfOrder > 0)
        failures.append(QStringLiteral("%1 messages came out of name order within their kind").arg(outOfOrder));
    if (!view.errors.isEmpty())
        failures.append(
            QStringLiteral("%1 errors shown, the first: %2").arg(view.errors.size()).arg(view.errors.first()));
    const qsizetype scans = engine.outbox().fullScans() - scansBefore;
    std::printf("soak: drop of %d files, %.1f s, %.0f files/s at a %d ms tick; full scans after the drop %lld\n", files,
        elapsedMs / 1000.0, elapsedMs > 0 ? files * 1000.0 / elapsedMs : 0.0, o.tickMs, static_cast<long long>(scans));
    std::printf(
        "soak: sent %lld, twice %d, out of name order %d\n", static_cast<long long>(sent.size()), twice, outOfOrder);
    return verdict("soak", failures);
}
