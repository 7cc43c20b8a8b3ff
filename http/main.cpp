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

// The tokens file: only one no one else can change or read. Nothing (and
// the reason logged) when it will not do.
std::optional<QList<Tokens::Entry>> readTokens(const QByteArray& path)
{
    const QString name = QFile::decodeName(path);
    if (const QString unsafe = Tokens::unsafeRights(path); !unsafe.isEmpty()) {
        fail(QStringLiteral("%1: %2 (chmod 0640, owned by root or the service's user)").arg(name, unsafe));
        return std::nullopt;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1").arg(name));
        return std::nullopt;
    }
    QString error;
    const std::optional<QList<Tokens::Entry>> tokens = Tokens::parse(file.readAll(), &error);
    if (!tokens) {
        fail(QStringLiteral("%1: %2").arg(name, error));
        return std::nullopt;
    }
    if (tokens->isEmpty())
        FrontServer::log(4, path + " holds no token: every request but GET /healthz gets 401");
    return tokens;
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

    const std::optional<QList<Tokens::Entry>> tokens = readTokens(options.tokens);
    if (!tokens)
        return fail(QStringLiteral("refusing to start"));
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
        if (signal == SIGHUP) {
            // Clients added or removed: the file anew; a bad one changes nothing.
            ServiceNotify::reloading();
            if (const std::optional<QList<Tokens::Entry>> again = readTokens(options.tokens)) {
                server.setTokens(*again);
                FrontServer::log(6, "tokens read again: " + QByteArray::number(again->size()) + " clients");
            } else {
                FrontServer::log(4, "keeping the tokens read before");
            }
            ServiceNotify::ready();
        }
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
