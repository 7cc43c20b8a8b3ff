// marlek-smsd: the SMS sender's engine without windows, for running as a
// service. See --help.
#include "notify.h"
#include "settings.h"
#include "smsdoptions.h"
#include "smserror.h"
#include "smsservice.h"
#include "unixsignals.h"
#include "workdirlock.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {
int fail(const QString& text, int code = 1)
{
    // An error, when the journal takes it.
    const char* priority = ServiceNotify::isJournal(stderr) ? "<3>" : "";
    std::fprintf(stderr, "%smarlek-smsd: %s\n", priority, qPrintable(text));
    return code;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlek-smsd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SMSD_VERSION));

    const ParsedSmsdOptions parsed = parseSmsdOptions(QCoreApplication::arguments());
    switch (parsed.outcome) {
    case ParsedSmsdOptions::Help:
    case ParsedSmsdOptions::Version:
        std::fputs(qPrintable(parsed.message), stdout);
        return 0;
    case ParsedSmsdOptions::Error:
        return fail(parsed.message + QStringLiteral(" (see --help)"), 2);
    case ParsedSmsdOptions::Run:
        break;
    }
    const SmsdOptions& options = parsed.options;

    // The engine names its files relative to the working directory, as the
    // window does.
    if (!options.workdir.isEmpty() && !QDir::setCurrent(options.workdir))
        return fail(QStringLiteral("cannot enter the folder %1").arg(options.workdir));
    const QString folder = QDir::currentPath();
    const QString settingsFile = QString::fromLatin1(SettingsStore::FileName);

    // One copy per folder, window or service: it owns the send journal there.
    WorkdirLock workdirLock;
    UnixSignals signalWatch;
    try {
        workdirLock.lock(folder);
        signalWatch.install();
    } catch (const SmsError& e) {
        return fail(e.text());
    }

    SettingsStore settings;
    try {
        if (!settings.load())
            return fail(QStringLiteral("%1 not found in %2").arg(settingsFile, folder));
    } catch (const SmsError& e) {
        return fail(QStringLiteral("%1/%2: %3").arg(folder, settingsFile, e.text()));
    }

    SmsService service(settings, options);
    QObject::connect(&signalWatch, &UnixSignals::terminateRequested, &service, &SmsService::terminate);
    QObject::connect(&signalWatch, &UnixSignals::reloadRequested, &service, &SmsService::reload);
    QObject::connect(&signalWatch, &UnixSignals::pauseRequested, &service,
        [&service](bool pause) { service.engine().gate().setPaused(pause); });
    try {
        service.start();
    } catch (const SmsError& e) {
        return fail(QStringLiteral("%1/%2: %3").arg(folder, settingsFile, e.text()));
    }
    const int status = QCoreApplication::exec();
    // Results the command never got are named in the log (standard output).
    service.engine().stop();
    return status;
}
