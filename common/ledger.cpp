#include "ledger.h"

#include "fsutil.h"
#include "logfield.h"
#include "paths.h"

#include <algorithm>

namespace Ledger {

namespace {
constexpr const char* RotatedPrefix = "SmsSender_";
constexpr const char* RotatedSuffix = ".results";

// A rotated name's time stamp as numbers, so that 2007_10_1 comes after
// 2007_9_30; nothing for a name that is not a rotated ledger.
std::optional<QList<int>> stampOf(const QByteArray& name)
{
    if (!name.startsWith(RotatedPrefix) || !name.endsWith(RotatedSuffix))
        return std::nullopt;
    const QByteArray stamp
        = name.mid(qstrlen(RotatedPrefix), name.size() - qstrlen(RotatedPrefix) - qstrlen(RotatedSuffix));
    QList<int> numbers;
    for (const QByteArray& part : stamp.split('_')) {
        bool ok = false;
        numbers.append(part.toInt(&ok));
        if (!ok)
            return std::nullopt;
    }
    return numbers;
}
} // namespace

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Accepted:
        return "accepted";
    case Outcome::Refused:
        return "refused";
    case Outcome::Unanswered:
        break;
    }
    return "unanswered";
}

std::optional<Outcome> outcomeByName(const QByteArray& name)
{
    for (const Outcome o : AllOutcomes) {
        if (name == outcomeName(o))
            return o;
    }
    return std::nullopt;
}

QByteArray format(const Line& line)
{
    QByteArray text = line.time;
    for (const QByteArray& field :
        { QByteArray(outcomeName(line.outcome)), line.outboxName, line.backupPath, line.result, line.counter }) {
        text.append('\t');
        text.append(escapeLogField(field));
    }
    text.append('\n');
    return text;
}

std::optional<Line> parse(const QByteArray& text)
{
    const QList<QByteArray> fields = text.split('\t');
    if (fields.size() != 6)
        return std::nullopt;
    const std::optional<Outcome> outcome = outcomeByName(fields[1]);
    if (!outcome || fields[0].isEmpty())
        return std::nullopt;
    return Line { fields[0], *outcome, unescapeLogField(fields[2]), unescapeLogField(fields[3]),
        unescapeLogField(fields[4]), unescapeLogField(fields[5]) };
}

bool isAbout(const Line& line, const QByteArray& name)
{
    if (name.isEmpty())
        return false;
    if (line.outboxName == name || line.backupPath == name)
        return true;
    const QByteArray backupFile = line.backupPath.mid(line.backupPath.lastIndexOf('/') + 1);
    return backupFile == name.mid(name.lastIndexOf('/') + 1);
}

QByteArray rotatedName(const QByteArray& timeStamp)
{
    return RotatedPrefix + timeStamp + RotatedSuffix;
}

QList<QByteArray> files(const QByteArray& dir)
{
    QList<std::pair<QList<int>, QByteArray>> rotated;
    Fs::walkDirectory(dir, [&](const char* name, size_t length) {
        const QByteArray entry(name, qsizetype(length));
        if (const auto stamp = stampOf(entry))
            rotated.append({ *stamp, entry });
        return true;
    });
    std::sort(rotated.begin(), rotated.end());
    QList<QByteArray> paths;
    for (const auto& [stamp, name] : rotated)
        paths.append(joinDir(dir, name));
    paths.append(joinDir(dir, FileName));
    return paths;
}

} // namespace Ledger
