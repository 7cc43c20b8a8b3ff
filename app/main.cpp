#include "Main.h"
#include "Dialogs.h"
#include "UAbout.h"
#include "UConfigure.h"
#include "UTest.h"
#include "settings.h"
#include "workdirlock.h"

#include <QApplication>
#include <QDir>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // One copy per working directory: it owns the send journal there.
    WorkdirLock workdirLock;
    if (!workdirLock.tryLock(QDir::currentPath())) {
        Dialogs::instance().showError(workdirLock.errorText());
        return 1;
    }
    // The program ends with its main window, even with the test window open.
    app.setQuitOnLastWindowClosed(false);

    // Program-wide, for the whole run: loaded by the main window, replaced
    // by the configure window's Save, read by the engine on every use.
    SettingsStore settings;

    // The order matters: the main window loads the settings that the
    // configure window then copies into its fields.
    TFormMain formMain(settings);
    TFormConfigure formConfigure(settings, &formMain);
    formMain.setConfigureWindow(&formConfigure);
    TFormAbout formAbout(&formMain);
    formMain.setAboutWindow(&formAbout);
    TFormTest formTest(settings, &formMain);
    formMain.setTestWindow(&formTest);
    QObject::connect(&formMain, &TFormMain::closed, &app, &QCoreApplication::quit);
    // Names what an earlier run here sent without an answer, before any send.
    runPresented([&formMain] { formMain.engine().openJournal(QByteArray()); });

    formMain.show();
    try {
        return app.exec();
    } catch (const std::exception& e) {
        // Handlers catch their own errors; this is the last line of defence.
        Dialogs::instance().showError(QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
