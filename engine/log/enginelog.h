#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class Clock;
class ErrorPresenter;
struct EngineOptions;

// One engine log line and how much it matters. A warning tells of a message
// or the connection in trouble; the service's journal gets it as such.
struct LogEvent
{
    enum Severity { Info, Warning };
    Severity severity = Info;
    QByteArray text;
};

// The engine log: lines in arrival order, kept small by rotating into
// "SmsSender_<time stamp>.log" files in the working directory. Each line is
// told as it comes (appended), so the window's memo, the service's standard
// output and the log files take the same events. Adding a line never throws:
// a limit that is no number, or a file that cannot be written, reaches the
// error presenter once, until a check succeeds again.
class EngineLog : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* StartLine = "Log messages...";

    EngineLog(const EngineOptions& options, ErrorPresenter& presenter, const Clock& clock, QObject* parent = nullptr);

    const QList<QByteArray>& lines() const { return m_lines; }

    void info(const QByteArray& line) { append({ LogEvent::Info, line }); }
    void warning(const QByteArray& line) { append({ LogEvent::Warning, line }); }
    // Adds the line, then runs the rotation check.
    void append(const LogEvent& event);

    // The operator edited the log's text: take the lines as they now stand,
    // then run the rotation check.
    void setLinesFromOperator(const QList<QByteArray>& lines);

    // With more lines than the limit: save them to a new file when saveLog
    // is on, then empty the log. A bad limit ("'%s' is not a valid integer
    // value") leaves the log as it is; a file that cannot be written
    // ("Cannot create file %s") keeps the lines. Either goes to the presenter.
    void rotationCheck();

    // Where rotated files go; the working directory unless set.
    void setDirectory(const QByteArray& dir) { m_dir = dir; }

Q_SIGNALS:
    void appended(const LogEvent& event);
    // Emptied by a rotation.
    void cleared();
    // A file was written by a rotation.
    void saved(const QByteArray& path);

private:
    const EngineOptions& m_options;
    ErrorPresenter& m_presenter;
    const Clock& m_clock;
    QList<QByteArray> m_lines;
    QByteArray m_dir;
    QString m_reported; // the failure told, until a check succeeds
};
