// Writes the program's icon, as Branding::icon draws it, into a hicolor theme
// tree: <dir>/<side>x<side>/apps/marlek-sms-sender.png. The package installs
// the committed copies; run the `icons` target after changing the drawing.
#include "Branding.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: render-icons DIR\n";
        return 2;
    }
    for (const int side : { 16, 24, 32, 48, 64, 128, 256 }) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args.at(1)).arg(side);
        const QString file = dir + QStringLiteral("/marlek-sms-sender.png");
        if (!QDir().mkpath(dir) || !Branding::icon(side).save(file, "PNG")) {
            QTextStream(stderr) << "cannot write " << file << '\n';
            return 1;
        }
    }
    return 0;
}
