// marlek-sms-http: takes messages over HTTP and writes them into the
// sender's outbox; answers lookups from the ledgers. See --help and
// marlek-sms-http(8).
#include "frontserver.h"
#include "httpoptions.h"
#include "listener.h"
#include "notify.h"
#include "paths.h"
#include "settings.h"
#include "smserror.h"
#include "tokens.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

int fail(const QString& text)
{
    FrontServer::log(3, text.toLocal8Bit());
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    // Qt Core for files and JSON; no event loop runs.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlek-sms-http"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SMS_VERSION));

    QString error;
    const HttpOptions options = HttpOptions::parse(QCoreApplication::arguments().mid(1), &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "marlek-sms-http: %s (see marlek-sms-http --help)\n", error.toLocal8Bit().constData());
        return 64;
    }
    if (options.help) {
        std::fputs(HttpOptions::usage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("marlek-sms-http %s\n", SMS_VERSION);
        return 0;
    }

    FrontServer::Config config;
    config.workdirs = options.workdirs;
    config.maxQueued = options.maxQueued;
    config.connectionLimit = unsigned(options.maxConnections);
    config.outbox = options.outbox;
    if (config.outbox.isEmpty()) {
        const QByteArray file = joinDir(options.workdirs.first(), SettingsStore::FileName);
        SettingsStore settings;
        try {
            if (!settings.load(file))
                return fail(QStringLiteral("no --outbox and no settings file %1").arg(QFile::decodeName(file)));
        } catch (const SmsError& e) {
            return fail(QStringLiteral("%1: %2").arg(QFile::decodeName(file), e.text()));
        }
        const QByteArray dir = settings.values().outboxDir;
        config.outbox = dir.startsWith('/') ? dir : joinDir(options.workdirs.first(), dir);
    }

    // The tokens: only a file no one else can change or read.
    const QString tokensName = QFile::decodeName(options.tokens);
    if (const QString unsafe = Tokens::unsafeRights(options.tokens); !unsafe.isEmpty())
        return fail(QStringLiteral("%1: %2; refusing to start (chmod 0640, owned by root or the service's user)")
                        .arg(tokensName, unsafe));
    QByteArray tokensText;
    QFile tokensFile(tokensName);
    if (!tokensFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1").arg(tokensName));
    tokensText = tokensFile.readAll();
    const std::optional<QList<Tokens::Entry>> tokens = Tokens::parse(tokensText, &error);
    if (!tokens)
        return fail(QStringLiteral("%1: %2").arg(tokensName, error));
    if (tokens->isEmpty())
        FrontServer::log(4, tokensName.toLocal8Bit() + " holds no token: every request but GET /healthz gets 401");
    config.tokens = *tokens;

    // Signals are taken by the main thread alone: blocked before any other
    // thread starts, so every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int fd = Listener::activated();
    QByteArray bound;
    if (fd >= 0) {
        bound = Listener::boundAddress(fd);
    } else {
        fd = Listener::listenOn(options.listen, &error, &bound);
        if (fd < 0)
            return fail(error);
    }
    FrontServer server(config);
    if (!server.start(fd, &error))
        return fail(error);
    FrontServer::log(6,
        "listening on " + bound + ", outbox " + config.outbox + ", " + QByteArray::number(config.tokens.size())
            + " clients");
    ServiceNotify::ready();
    ServiceNotify::status("listening on " + bound);

    const auto watchdog = ServiceNotify::watchdogTimeout();
    qint64 sinceWatchdogMs = 0;
    for (;;) {
        const timespec wait { 0, 250 * 1000 * 1000 };
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal == SIGTERM || signal == SIGINT)
            break;
        server.tick();
        sinceWatchdogMs += 250;
        // Half the watchdog's time: the housekeeping loop is alive.
        if (watchdog.count() > 0 && sinceWatchdogMs * 2000 >= watchdog.count()) {
            ServiceNotify::watchdog();
            sinceWatchdogMs = 0;
        }
    }
    ServiceNotify::stopping();
    FrontServer::log(6, "stopping: the requests in progress may finish");
    server.stop(std::chrono::seconds(5));
    FrontServer::log(6, "stopped");
    return 0;
}
