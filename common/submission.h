#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Handing the sender one message: the checks a message must pass, the names
// submissions get in the outbox and the durable write under such a name.
// marlek-sms send and the HTTP front share them, so both refuse and name
// alike.
namespace Submission {

// What a sender refuses, or empty: the destination (1 to 15 characters,
// digits with an optional leading "+"), the sender (1 to 15 characters),
// the text (at most 160 bytes), no line breaks, every character in the
// gateway's code page.
QString checkMessage(const QString& to, const QString& from, const QString& text);

// The message file's bytes for a message checkMessage() let through.
QByteArray messageFile(const QString& to, const QString& from, const QString& text);

// The words --kind takes, as a refusal names them: "normal, flash, logo, ring".
QString kindWords();

// Submission names for one process: a zero-padded UTC time stamp to the
// microsecond, the process id and a sequence number, then the extension.
// They never repeat and sort (as bytes) in the order they were made, even
// when the clock steps back. Not thread-safe: callers on several threads
// share one behind a lock.
class SubmissionNames
{
public:
    explicit SubmissionNames(qint64 pid);
    QByteArray next(const QByteArray& extension);
    // The same at a given time, in microseconds since the epoch.
    QByteArray next(const QByteArray& extension, qint64 micros);

private:
    qint64 m_pid;
    qint64 m_lastMicros = 0;
    int m_sequence = 0;
};

// The temporary name a submission is written under first: hidden, and
// ending in no message kind's extension, so no outbox search takes it.
QByteArray temporaryName(const QByteArray& name);

// Whether text has the form SubmissionNames gives a name (with one of the
// message kinds' extensions): what an outside caller may ask about.
bool isSubmissionName(const QByteArray& text);

struct Published
{
    enum Outcome { Yes, Failed, NoFreeName } outcome = Failed;
    QByteArray name; // the name in the outbox (Yes), or the one that failed
};
// Writes data into the outbox under the next free name: under the temporary
// name first, flushed, renamed to its final name, the folder flushed. On
// failure nothing of it is left in the outbox. syncDirectory, when given,
// flushes the folder instead (one flush for several files at once).
Published publish(const QByteArray& outboxDir, const std::function<QByteArray()>& nextName, const QByteArray& data,
    const std::function<void()>& syncDirectory = {});

} // namespace Submission
