#pragma once

#include <QByteArray>
#include <QList>

#include <array>
#include <optional>

// The ledger of fates, SmsSender.results in the working directory: one
// tab-separated line per message whose fate became known, fields escaped as
// escapeLogField() does:
//   time  outcome  outbox name  backup file  result character  counter
// Past RotateSize it is renamed SmsSender_<time stamp>.results, as the logs
// are, and begun anew. The engine writes it; marlek-sms reads it.
namespace Ledger {

constexpr const char* FileName = "SmsSender.results";
constexpr qint64 RotateSize = 10 * 1024 * 1024;

// Expired: waited in the outbox past the sender's age limit; never sent.
enum class Outcome { Accepted, Refused, Unanswered, Expired };
constexpr int OutcomeCount = 4;
constexpr std::array<Outcome, OutcomeCount> Outcomes
    = { Outcome::Accepted, Outcome::Refused, Outcome::Unanswered, Outcome::Expired };
const char* outcomeName(Outcome outcome);
std::optional<Outcome> outcomeByName(const QByteArray& name);

struct Line
{
    QByteArray time; // ISO 8601, local, with the offset
    Outcome outcome = Outcome::Unanswered;
    QByteArray outboxName;
    QByteArray backupPath; // as built, as the engine log names it
    QByteArray result; // the gateway's result character; empty when unanswered
    QByteArray counter; // empty when unanswered

    bool operator==(const Line&) const = default;
};

// The line with its line break.
QByteArray format(const Line& line);
// A line without its break; nothing when it is not a ledger line.
std::optional<Line> parse(const QByteArray& text);

// Whether the line is about name: an outbox name, a backup file's path as
// built, or a backup file's name alone.
bool isAbout(const Line& line, const QByteArray& name);

// The rotated ledgers in dir, oldest first, then the current one (paths).
QList<QByteArray> files(const QByteArray& dir);
// The name a rotated ledger gets for its time stamp (without the directory).
QByteArray rotatedName(const QByteArray& timeStamp);

} // namespace Ledger
