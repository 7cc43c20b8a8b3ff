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

void EngineLog::setLinesFromOperator(const QList<QByteArray>& lines)
{
    m_lines = lines;
    rotationCheck();
}

void EngineLog::rotationCheck()
{
    const int limit = parseInteger(m_view.lineLimitText());
    if (m_lines.size() <= limit)
        return;
    if (m_view.saveLogChecked()) {
        const QByteArray stem = joinDir(m_dir, "SmsSender_" + timeStamp(m_clock.now()));
        const QByteArray text = TextFile::joinLines(m_lines);
        // Two rotations within one millisecond must not overwrite each other.
        QByteArray path = stem + ".log";
        for (int n = 1; !Fs::createNewFile(path, text); ++n) {
            if (!Fs::exists(path) || n > 999)
                throw SmsError::cannotCreateFile(QFile::decodeName(stem + ".log"));
            path = stem + '_' + QByteArray::number(n) + ".log";
        }
        m_lastFile = path;
    }
    m_lines.clear();
    m_view.logCleared();
}
