// Renders the program's windows to PNG files for the documentation:
// renderwindows <output directory>. Runs headless (QT_QPA_PLATFORM=offscreen).
#include "Main.h"
#include "UAbout.h"
#include "UConfigure.h"
#include "UTest.h"
#include "recordingdialogs.h"
#include "settings.h"
#include "windowtestsupport.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <QTextStream>

namespace {
// Offscreen windows have no frame to grab: a plain title bar with the
// window's own icon and title is drawn above its contents instead.
QImage withTitleBar(QWidget& window)
{
    const QPixmap contents = window.grab();
    const int bar = 24;
    QImage image(contents.width(), contents.height() + bar, QImage::Format_ARGB32);
    image.fill(QColor(0x3a, 0x3f, 0x47));
    QPainter p(&image);
    window.windowIcon().paint(&p, QRect(4, 4, 16, 16));
    p.setPen(Qt::white);
    p.drawText(QRect(26, 0, image.width() - 30, bar), Qt::AlignLeft | Qt::AlignVCenter, window.windowTitle());
    p.drawPixmap(0, bar, contents);
    return image;
}

bool render(QWidget& window, const QString& path)
{
    window.show();
    QCoreApplication::processEvents();
    const bool ok = withTitleBar(window).save(path);
    QTextStream(stderr) << (ok ? "wrote " : "cannot write ") << path << '\n';
    window.hide();
    return ok;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: renderwindows <output directory>\n";
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);

    // A configured installation in a scratch directory, so no box opens.
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    RecordingDialogs dialogs;
    SettingsStore settings;
    settings.save({ "outbox/", "backup/", "127.0.0.1", "5000", "demo", "secret", "ABCDEFGHIJKLMNOP" });

    EngineWindow formMain(settings);
    TFormConfigure formConfigure(settings, &formMain);
    formMain.setConfigureWindow(&formConfigure);
    TFormAbout formAbout(&formMain);
    TFormTest formTest(settings, &formMain);

    bool ok = render(formMain, out + QStringLiteral("/main-window.png"));
    ok = render(formConfigure, out + QStringLiteral("/configure-window.png")) && ok;
    ok = render(formAbout, out + QStringLiteral("/about-window.png")) && ok;
    ok = render(formTest, out + QStringLiteral("/test-window.png")) && ok;
    return ok ? 0 : 1;
}
