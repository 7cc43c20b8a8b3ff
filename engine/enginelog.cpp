#include "enginelog.h"

#include "fsutil.h"
#include "intparse.h"
#include "operatorview.h"
#include "paths.h"
#include "smserror.h"
#include "textfile.h"
#include "timestamp.h"

#include <QFile>

EngineLog::EngineLog(OperatorView& view, const Clock& clock)
    : m_view(view)
    , m_clock(clock)
{
    m_lines.append(StartLine);
}

void EngineLog::appendLine(const QByteArray& line)
{
    m_lines.append(line);
    m_view.logLineAppended(line);
    rotationCheck();
}

std::optional<SmsError> EngineLog::appendLines(const QList<QByteArray>& lines)
{
    std::optional<SmsError> first;
    for (const QByteArray& line : lines) {
        m_lines.append(line);
        m_view.logLineAppended(line);
        std::optional<SmsError> failure = rotate();
        if (!first)
            first = std::move(failure);
    }
    return first;
}

void EngineLog::setLinesFromOperator(const QList<QByteArray>& lines)
{
    m_lines = lines;
    rotationCheck();
}

void EngineLog::rotationCheck()
{
    if (std::optional<SmsError> failure = rotate())
        throw *std::move(failure);
}

std::optional<SmsError> EngineLog::rotate()
{
    const QByteArray limitText = m_view.lineLimitText();
    const std::optional<int> limit = tryParseInteger(limitText);
    if (!limit)
        return SmsError::invalidInteger(QString::fromLatin1(limitText));
    if (m_lines.size() <= *limit)
        return std::nullopt;
    if (m_view.saveLogChecked()) {
        const QByteArray stem = joinDir(m_dir, "SmsSender_" + timeStamp(m_clock.now()));
        const QByteArray text = TextFile::joinLines(m_lines);
        // Two rotations within one millisecond must not overwrite each other.
        QByteArray path = stem + ".log";
        for (int n = 1; !Fs::createNewFile(path, text); ++n) {
            if (!Fs::exists(path) || n > 999)
                return SmsError::cannotCreateFile(QFile::decodeName(stem + ".log"));
            path = stem + '_' + QByteArray::number(n) + ".log";
        }
        m_lastFile = path;
    }
    m_lines.clear();
    m_view.logCleared();
    return std::nullopt;
}
