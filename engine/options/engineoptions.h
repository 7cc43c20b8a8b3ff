#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

class QCommandLineParser;

// A number as its source gave it. A window's field may hold text that is no
// number: it is kept, so that the error naming it comes when the number is
// used, as it did when the field was read then.
class OptionNumber
{
public:
    OptionNumber(int value);
    static OptionNumber fromText(const QByteArray& text);

    // Throws "'%s' is not a valid integer value" for text that is no number.
    int value() const;
    std::optional<int> tryValue() const { return m_value; }
    const QByteArray& text() const { return m_text; }

    bool operator==(const OptionNumber& other) const { return m_text == other.m_text; }

private:
    OptionNumber() = default;
    std::optional<int> m_value;
    QByteArray m_text;
};

// How the engine works, as either program sets it: the window from its
// fields and its command line, the service from its command line.
struct EngineOptions
{
    static constexpr int DefaultPollMs = 1000;
    // A shorter poll would make the timer spin.
    static constexpr int MinimumPollMs = 200;
    static constexpr int DefaultLineLimit = 1000;
    static constexpr int DefaultMaxUnanswered = 8;
    static constexpr int LeastMaxUnanswered = 1;
    static constexpr int MostMaxUnanswered = 100;
    static constexpr std::chrono::seconds DefaultAnswerTimeout { 30 };
    static constexpr std::chrono::seconds LeastAnswerTimeout { 5 };
    static constexpr std::chrono::seconds MostAnswerTimeout { 3600 };

    // Taken at each log-in; under the minimum it counts as the minimum.
    OptionNumber pollInterval { DefaultPollMs };
    // More log lines than this: the log is saved (with saveLog) and emptied.
    OptionNumber lineLimit { DefaultLineLimit };
    bool saveLog = false;
    // "Found SMS File Ext = ..." for each file taken.
    bool logFoundFiles = true;
    // Message records that may wait for the gateway's replies at once.
    int maxUnanswered = DefaultMaxUnanswered;
    // How long a reply, or a connection attempt, may take.
    std::chrono::seconds answerTimeout = DefaultAnswerTimeout;
    // Run for each message's fate; empty: none.
    QString onResult;
    // The metrics file for node_exporter; empty: none.
    QString metricsFile;

    // The queue's controls, each off by default.
    // Local times, in minutes after midnight, between which files are
    // taken; the end may come before the start (past midnight).
    struct SendWindow
    {
        int startMinute = 0;
        int endMinute = 0;
        bool operator==(const SendWindow&) const = default;
    };
    std::optional<SendWindow> sendWindow;
    // A file that has waited longer is set aside as expired; 0: never.
    qint64 maxAgeSeconds = 0;
    // Records sent in the last hour and day; 0: no cap.
    int maxPerHour = 0;
    int maxPerDay = 0;
    // Warn once the gateway's counter is at or under this; none: never.
    std::optional<int> lowCredit;

    bool operator==(const EngineOptions&) const = default;
};

// The command-line options both programs share, written once.
namespace EngineCommandLine {

// Which options a program takes beside the shared ones: the service has no
// fields for the poll and the log files.
enum class Program { Window, Service };

void addOptions(QCommandLineParser& parser, Program program);

// The options the parser read, on top of the defaults. Throws SmsError for a
// number out of its range or an empty file name. Relative paths are taken
// from the current directory, before the program enters its working one.
EngineOptions read(const QCommandLineParser& parser, Program program);

// "HH:MM-HH:MM"; nothing when the text is no window.
std::optional<EngineOptions::SendWindow> parseSendWindow(const QString& text);
// "90", "90s", "90m", "6h", "2d" in seconds; nothing when it is no duration
// or not above 0.
std::optional<qint64> parseDuration(const QString& text);

} // namespace EngineCommandLine
