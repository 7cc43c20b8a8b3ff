#pragma once

#include "smserror.h"

#include <QByteArray>
#include <QList>

#include <optional>

class Clock;
class OperatorView;

// The engine log: lines in arrival order, kept small by rotating into
// "SmsSender_<time stamp>.log" files in the working directory.
class EngineLog
{
public:
    static constexpr const char* StartLine = "Log messages...";

    EngineLog(OperatorView& view, const Clock& clock);

    const QList<QByteArray>& lines() const { return m_lines; }

    // Adds a line, then runs the rotation check (which may throw).
    void appendLine(const QByteArray& line);

    // Adds every line, each followed by the rotation check, without stopping
    // at a failed check: for a caller that must finish its work first (the
    // link stopping). Hands back the first failure for it to report.
    [[nodiscard]] std::optional<SmsError> appendLines(const QList<QByteArray>& lines);

    // The operator edited the log's text: take the lines as they now stand,
    // then run the rotation check.
    void setLinesFromOperator(const QList<QByteArray>& lines);

    // With more lines than the "Every Lines:" limit: save them to a new file
    // when "Save" is checked, then empty the log. Throws "'%s' is not a valid
    // integer value" for a bad limit (the log is left as it is) and "Cannot
    // create file %s" when the file cannot be written (the log is kept).
    void rotationCheck();

    // Where rotated files go; the working directory unless tests say else.
    void setDirectory(const QByteArray& dir) { m_dir = dir; }

    // Path of the last file written, for the tests.
    const QByteArray& lastFile() const { return m_lastFile; }

private:
    // The rotation check, its failure handed back rather than thrown.
    [[nodiscard]] std::optional<SmsError> rotate();

    OperatorView& m_view;
    const Clock& m_clock;
    QList<QByteArray> m_lines;
    QByteArray m_dir;
    QByteArray m_lastFile;
};
