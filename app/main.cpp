#include "Main.h"
#include "Branding.h"
#include "Dialogs.h"
#include "UAbout.h"
#include "UConfigure.h"
#include "UTest.h"
#include "dispatchengine.h"
#include "settings.h"
#include "smserror.h"
#include "startoptions.h"
#include "workdirlock.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include <cstdio>

namespace {
// Reads the command line into *options and moves into the working directory
// it names. --help and --version print and end the program here; so does a
// mistake, with the exit status returned in *status.
bool applyCommandLine(const QApplication& app, StartOptions* options, int* status)
{
    QCommandLineParser parser;
    addStartOptions(parser);
    // Parsed rather than processed: --help and --version return through
    // main, so the application is torn down as on any other end.
    QString error;
    if (!parser.parse(app.arguments())) {
        error = parser.errorText();
    } else if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        *status = 0;
        return false;
    } else if (parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(QCoreApplication::applicationVersion()));
        *status = 0;
        return false;
    } else if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst());
    } else {
        try {
            *options = startOptions(parser);
            if (enterWorkDir(*options, &error))
                return true;
        } catch (const SmsError& e) {
            error = e.text();
        }
    }
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(error));
    *status = 2;
    return false;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("MarlekSMSSender"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SMS_VERSION));
    QApplication::setWindowIcon(Branding::windowIcon());
    // The program ends with its main window, even with the test window open.
    app.setQuitOnLastWindowClosed(false);

    // Settings, log files and relative folders all follow the working directory.
    StartOptions options;
    if (int status = 0; !applyCommandLine(app, &options, &status))
        return status;

    // One copy per working directory: it owns the send journal there.
    WorkdirLock workdirLock;
    try {
        workdirLock.lock(QDir::currentPath());
    } catch (const SmsError& e) {
        Dialogs::instance().showError(e.text());
        return 1;
    }

    // Program-wide, for the whole run: loaded by the main window, replaced
    // by the configure window's Save, read by the engine on every use.
    SettingsStore settings;
    DispatchEngine engine(settings, ErrorBoxes::instance(), Clock::system());
    // Before the journal, so that the fates recovered there are told too.
    engine.configure(options.engine);

    // The order matters: the main window loads the settings that the
    // configure window then copies into its fields.
    TFormMain formMain(settings, engine);
    TFormConfigure formConfigure(settings, &formMain);
    formMain.setConfigureWindow(&formConfigure);
    TFormAbout formAbout(&formMain);
    formMain.setAboutWindow(&formAbout);
    TFormTest formTest(settings, &formMain);
    formMain.setTestWindow(&formTest);
    QObject::connect(&formMain, &TFormMain::closed, &app, &QCoreApplication::quit);
    // Names what an earlier run here sent without an answer, before any send.
    runGuarded(ErrorBoxes::instance(), [&engine] { engine.start(); });

    formMain.show();
    int status = 1;
    try {
        status = app.exec();
    } catch (const std::exception& e) {
        // Handlers catch their own errors; this is the last line of defence.
        Dialogs::instance().showError(QString::fromLocal8Bit(e.what()));
    }
    // The window's log goes with the window: what the result command never
    // got is printed as well. The status file says the program has gone; the
    // metrics, how it ended.
    for (const QByteArray& line : engine.stop())
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), line.constData());
    return status;
}
