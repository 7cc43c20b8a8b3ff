// marlek-sms pause, resume and drain: a file in the sender's control folder,
// then the sender's status file watched until it shows the new state.
#include "command.h"

#include "controlfolder.h"
#include "fsutil.h"
#include "paths.h"
#include "statusfile.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <chrono>

namespace SmsTool {

namespace {

const char* const PauseHelp = R"(Usage: marlek-sms pause [--workdir DIR]

Pauses the sender running in DIR (default: the current folder): it takes no
file from the outbox until resumed, keeps its link and still reads replies.
The pause outlives a restart. Returns once the sender's status file shows it
paused; changes nothing when no sender runs in DIR.
Exit codes: 0 paused; 1 no sender runs in DIR, or its status did not show
the pause within 5 s; 64 usage, 73 cannot write the control folder.
)";

const char* const ResumeHelp = R"(Usage: marlek-sms resume [--workdir DIR]

Lets the sender running in DIR (default: the current folder) take files from
the outbox again after a pause. Returns once the sender's status file shows
it no longer paused; changes nothing when no sender runs in DIR.
Exit codes: 0 resumed; 1 no sender runs in DIR, or its status did not show
it resumed within 5 s; 64 usage, 73 cannot write the control folder.
)";

const char* const DrainHelp = R"(Usage: marlek-sms drain [--workdir DIR]

Drains the sender running in DIR (default: the current folder): it takes no
more files from the outbox, and once every message sent is answered or has
timed out, the service ends and the windows stop the link. Returns then;
changes nothing when no sender runs in DIR.
Exit codes: 0 drained; 1 no sender runs in DIR, its status did not show it
draining within 5 s (the drain is then taken back), the sender stopped
before the drain was done, or the drain took longer than 10 minutes;
64 usage, 73 cannot write the control folder.
)";

enum class Action { Pause, Resume, Drain };

// The engine writes its status within about a second of a change.
constexpr std::chrono::seconds ShowWait { 5 };
constexpr std::chrono::minutes DrainWait { 10 };
constexpr int PollMs = 100;

class Control : public Command
{
public:
    Control(const Streams& io, Action action)
        : Command(io)
        , m_action(action)
    {
    }
    int run(const QStringList& arguments);

private:
    QByteArray controlFile(const char* name) const { return joinDir(m_dir, ControlFolder::Name) + '/' + name; }
    QString folder() const { return QFile::decodeName(m_dir.isEmpty() ? QByteArray(".") : m_dir); }
    // Whether the sender's status file shows the state asked for.
    bool shown() const;
    // Exit 1, saying that no sender runs in the folder; nothing while one
    // does.
    std::optional<int> noSender();
    int waitForDrain();

    Action m_action;
};

int Control::run(const QStringList& arguments)
{
    const char* help = m_action == Action::Pause ? PauseHelp : m_action == Action::Resume ? ResumeHelp : DrainHelp;
    int code = 0;
    const std::optional<Arguments> parsed
        = parse(arguments, { { "help", Option::Flag }, { "workdir", Option::Value } }, help, &code);
    if (!parsed)
        return code;
    if (!parsed->positional.isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'").arg(parsed->positional.constFirst()));
    // A drain or pause left for a sender that is not running would only
    // surprise its next start.
    if (const std::optional<int> none = noSender())
        return *none;

    const char* name = m_action == Action::Drain ? ControlFolder::DrainFile : ControlFolder::PauseFile;
    const QByteArray path = controlFile(name);
    const bool wasThere = Fs::exists(path);
    if (m_action == Action::Resume) {
        if (!Fs::removeFile(path) && Fs::exists(path))
            return fail(CannotCreate, QStringLiteral("cannot remove %1").arg(QFile::decodeName(path)));
    } else if (!wasThere && !Fs::writeFileAtomic(path, QByteArray(), ControlFolder::FileMode)) {
        return fail(CannotCreate, QStringLiteral("cannot create %1").arg(QFile::decodeName(path)));
    }

    const QDeadlineTimer deadline(ShowWait);
    // A quick drain may be over before a status shows it: its file gone
    // says so too.
    while (!shown() && !(m_action == Action::Drain && !Fs::exists(path))) {
        if (deadline.hasExpired()) {
            if (m_action == Action::Drain && !wasThere)
                Fs::removeFile(path);
            if (const std::optional<int> none = noSender())
                return *none;
            const char* state = m_action == Action::Pause ? "paused"
                : m_action == Action::Resume              ? "resumed"
                                                          : "draining";
            return fail(1,
                QStringLiteral("the sender in %1 did not show it %2 within 5 s").arg(folder(), QLatin1String(state)));
        }
        QThread::msleep(PollMs);
    }
    return m_action == Action::Drain ? waitForDrain() : 0;
}

bool Control::shown() const
{
    QByteArray json;
    if (!Fs::readFile(joinDir(m_dir, SenderStatus::FileName), &json))
        return false;
    QString error;
    const std::optional<SenderStatus> status = SenderStatus::fromJson(json, &error);
    if (!status)
        return false;
    switch (m_action) {
    case Action::Pause:
        return status->paused;
    case Action::Resume:
        return !status->paused;
    case Action::Drain:
        return status->draining;
    }
    return false;
}

std::optional<int> Control::noSender()
{
    const std::optional<bool> held = lockHeld(m_dir);
    if (!held)
        return fail(1,
            QStringLiteral("cannot read the lock file %1")
                .arg(QFile::decodeName(joinDir(m_dir, SenderStatus::LockFileName))));
    if (!*held)
        return fail(1, QStringLiteral("no sender runs in %1").arg(folder()));
    return std::nullopt;
}

int Control::waitForDrain()
{
    // The engine removes the file once nothing waits for a reply.
    const QByteArray path = controlFile(ControlFolder::DrainFile);
    const QDeadlineTimer deadline(DrainWait);
    for (int polls = 0; Fs::exists(path); ++polls) {
        if (deadline.hasExpired())
            return fail(1, QStringLiteral("the sender in %1 did not finish draining within 10 min").arg(folder()));
        // A sender that ended without finishing leaves the file behind.
        if (polls % 10 == 9 && lockHeld(m_dir) == false && Fs::exists(path))
            return fail(1, QStringLiteral("the sender in %1 stopped before the drain was done").arg(folder()));
        QThread::msleep(PollMs);
    }
    return 0;
}

} // namespace

int pauseCommand(const Streams& io, const QStringList& arguments)
{
    return Control(io, Action::Pause).run(arguments);
}

int resumeCommand(const Streams& io, const QStringList& arguments)
{
    return Control(io, Action::Resume).run(arguments);
}

int drainCommand(const Streams& io, const QStringList& arguments)
{
    return Control(io, Action::Drain).run(arguments);
}

} // namespace SmsTool
