// The soak: thousands of message files through the real engine, or through
// marlek-smsd services, to real substitute gateways (see --help and
// scripts/soak.sh); it exits 0 only when every check held.
#include "smserror.h"
#include "soakoptions.h"
#include "soakruns.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SoakOptions options;
    try {
        options = parseSoakOptions(QCoreApplication::arguments());
    } catch (const SmsError& e) {
        std::fprintf(stderr, "soak: %s (see --help)\n", qPrintable(e.text()));
        return 2;
    }
    if (!options.helpText.isEmpty()) {
        std::fputs(qPrintable(options.helpText), stdout);
        return 0;
    }
    switch (options.run) {
    case SoakOptions::Run::Plain:
        return runPlain(options);
    case SoakOptions::Run::Kill:
        return runKill(options);
    case SoakOptions::Run::KillChild:
        return runKillChild(options);
    case SoakOptions::Run::Drop:
        return runDrop(options);
    case SoakOptions::Run::Senders:
        return runSenders(options);
    }
    return 2;
}
