// The floor for the program's footprint: a bare Qt window of the main
// window's size whose only work is to blink a light every 200 ms, as the
// polling tick does. scripts/bench.sh measures it beside the real program.
#include <QApplication>
#include <QFrame>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bench floor window"));
    window.setFixedSize(437, 420);
    QFrame light(&window);
    light.setGeometry(344, 140, 22, 22);
    light.setAutoFillBackground(true);
    QTimer blink;
    blink.setInterval(200);
    bool blue = false;
    QObject::connect(&blink, &QTimer::timeout, &light, [&] {
        blue = !blue;
        QPalette p = light.palette();
        p.setColor(QPalette::Window, blue ? QColor(Qt::blue) : window.palette().color(QPalette::Button));
        light.setPalette(p);
    });
    blink.start();
    window.show();
    return app.exec();
}
