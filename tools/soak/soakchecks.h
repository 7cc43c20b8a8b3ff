#pragma once

// What the soak's runs share: the message files, the gateways, the fast
// ticker, the counting view, the checks of what reached the gateways, and
// the closing lines.
#include "gatewayprocess.h"
#include "recordingview.h"

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <vector>

class DispatchEngine;

inline const QByteArray SoakKey = "SOAK1234SOAK5678";

QByteArray messageId(int i);
// Message i: the four kinds in turn, its message id as its text.
void writeMessageFile(const QByteArray& outDir, int i);
void writeMessageFiles(const QByteArray& outDir, int files);
bool hasFiles(const QByteArray& dir);

// The substitute gateway with its record log and a counter that lasts.
struct SoakGateway : GatewayProcess
{
    QString log;

    bool start(const QString& binary, const QString& logPath, const QStringList& fault);
};

// The main window as far as the soak needs it: a counting view whose every
// line goes to a file; only the lines that name messages stay in memory.
class SoakView : public RecordingView
{
public:
    explicit SoakView(const QString& logPath);

    QByteArrayList unanswered;
    QByteArrayList moveFailures;
    QByteArrayList resultFailures;
    qint64 answers = 0;
    int connects = 0;
    int disconnects = 0;
    int socketErrors = 0;

private:
    void tally(const QByteArray& line);
    QFile m_file;
};

// Ticks while the link's own timer runs, that is from the first reply until
// the link stops, only faster. Backup names tell milliseconds apart: a tick
// begins only in a later millisecond than the one in which the last ended.
class FastTicker
{
public:
    FastTicker(DispatchEngine& engine, ErrorPresenter& presenter, int intervalMs);

    // When set: how late the ticks come, the gaps in microseconds between
    // timer calls while the link runs.
    std::vector<qint64>* gaps = nullptr;

    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastCallNs = -1;
    qint64 m_lastTickEndMs = 0;
};

// Message requests in a record log, counted by their text; log-ins apart.
void countRecords(const QString& path, QHash<QByteArray, int>* count, qint64* logins);

// The files left in the outbox, each known by its message id (its third
// line): none may also have reached the gateway or stand there twice.
int checkOutbox(
    const QByteArray& outDir, const QHash<QByteArray, int>& sent, QSet<QByteArray>* seen, QStringList* failures);

// Every file in the outbox or the backup directory, once; no message sent
// twice. Returns how many were sent more than once.
qsizetype checkWholeAndOnce(qsizetype inOutbox, qsizetype inBackup, qsizetype seen, int files,
    const QHash<QByteArray, int>& sent, QStringList* failures);

// The closing lines, "<run>: FAILED: ..." for each failure or "<run>:
// passed", and the exit code.
int verdict(const char* run, const QStringList& failures);
