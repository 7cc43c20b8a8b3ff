#include "enginelog.h"

#include "engineoptions.h"
#include "errorroute.h"
#include "fsutil.h"
#include "paths.h"
#include "smserror.h"
#include "textfile.h"
#include "timestamp.h"

#include <QFile>

EngineLog::EngineLog(const EngineOptions& options, ErrorPresenter& presenter, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_presenter(presenter)
    , m_clock(clock)
{
    m_lines.append(StartLine);
}

void EngineLog::append(const LogEvent& event)
{
    m_lines.append(event.text);
    Q_EMIT appended(event);
    rotationCheck();
}

void EngineLog::setLinesFromOperator(const QList<QByteArray>& lines)
{
    m_lines = lines;
    rotationCheck();
}

void EngineLog::rotationCheck()
{
    try {
        const int limit = m_options.lineLimit.value();
        if (m_lines.size() > limit) {
            if (m_options.saveLog) {
                const QByteArray stem = joinDir(m_dir, "SmsSender_" + timeStamp(m_clock.now()));
                const QByteArray text = TextFile::joinLines(m_lines);
                // Two rotations within one millisecond must not overwrite each other.
                QByteArray path = stem + ".log";
                for (int n = 1; !Fs::createNewFile(path, text); ++n) {
                    if (!Fs::exists(path) || n > 999)
                        throw SmsError::cannotCreateFile(QFile::decodeName(stem + ".log"));
                    path = stem + '_' + QByteArray::number(n) + ".log";
                }
                Q_EMIT saved(path);
            }
            m_lines.clear();
            Q_EMIT cleared();
        }
        m_reported.clear();
    } catch (const SmsError& e) {
        // Once: the same fault met on every line must not bury the operator.
        if (e.text() != m_reported) {
            m_reported = e.text();
            m_presenter.showError(e.text());
        }
    }
}
