// Renders the program's windows to PNG files for the documentation:
// renderwindows <output directory>. Runs headless (QT_QPA_PLATFORM=offscreen).
#include "Branding.h"
#include "DesktopNotices.h"
#include "Main.h"
#include "TrayIcon.h"
#include "UAbout.h"
#include "UConfigure.h"
#include "UMessages.h"
#include "UTest.h"
#include "fakenotifications.h"
#include "fsutil.h"
#include "ledger.h"
#include "recordingdialogs.h"
#include "settings.h"
#include "timestamp.h"
#include "windowtestsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QPainter>
#include <QTabWidget>
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

// A notice as the notification service received it: its application, its
// summary and body, and the hints and actions it carried.
bool renderNotice(const FakeNotifications::Call& call, const QString& path)
{
    QImage image(460, 150, QImage::Format_ARGB32);
    image.fill(QColor(0x2b, 0x2e, 0x33));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawPixmap(16, 16, Branding::windowIcon().pixmap(40, 40));
    QFont font = p.font();
    p.setPen(QColor(0xb0, 0xb6, 0xbe));
    p.drawText(QRect(68, 12, 380, 20), Qt::AlignLeft | Qt::AlignVCenter, call.app);
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(68, 34, 380, 24), Qt::AlignLeft | Qt::AlignVCenter, call.summary);
    font.setBold(false);
    font.setPointSizeF(font.pointSizeF() / 1.15);
    p.setFont(font);
    p.drawText(QRect(68, 60, 380, 44), Qt::AlignLeft | Qt::TextWordWrap, call.body);
    const QStringList urgency { QStringLiteral("low"), QStringLiteral("normal"), QStringLiteral("critical") };
    p.setPen(QColor(0x8a, 0x90, 0x99));
    p.drawText(QRect(16, 108, 430, 36), Qt::AlignLeft | Qt::TextWordWrap,
        QStringLiteral("urgency %1 · desktop-entry %2 · actions: %3")
            .arg(urgency.value(call.hints.value(QStringLiteral("urgency")).toInt()),
                call.hints.value(QStringLiteral("desktop-entry")).toString(), call.actions.join(QLatin1Char(' '))));
    const bool ok = image.save(path);
    QTextStream(stderr) << (ok ? "wrote " : "cannot write ") << path << '\n';
    return ok;
}

bool render(QWidget& window, const QString& path, int settleMs = 0)
{
    window.show();
    QElapsedTimer settling;
    settling.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    while (settling.elapsed() < settleMs);
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

    // The Messages window on a few waiting files and fates.
    QDir().mkpath(QStringLiteral("outbox"));
    QDir().mkpath(QStringLiteral("backup"));
    const QByteArrayList waiting { "+393331234567\r\nShop\r\nYour order has shipped\r\n",
        "+390612345678\r\nClinic\r\nReminder: tomorrow 10:30\r\n" };
    for (int i = 0; i < waiting.size(); ++i)
        Fs::writeFile("outbox/order-" + QByteArray::number(i + 1) + ".sms", waiting[i]);
    QByteArray ledger;
    const QDateTime at = QDateTime::currentDateTime().addSecs(-600);
    const struct
    {
        Ledger::Outcome outcome;
        const char* number;
        const char* text;
        const char* result;
    } fates[] = { { Ledger::Outcome::Accepted, "+393339876543", "Table for two at 20:00 is ready", "0" },
        { Ledger::Outcome::Refused, "+39021111", "Your code is 4711", "1" },
        { Ledger::Outcome::Accepted, "+393401112233", "Parcel 88213 delivered", "0" },
        { Ledger::Outcome::Expired, "+393405556677", "Sale ends tonight", "" } };
    for (int i = 0; i < 4; ++i) {
        const QByteArray backup = "backup/SmsFile_2026_12_10_9_4_" + QByteArray::number(i) + "_0.sms";
        Fs::writeFile(backup, QByteArray(fates[i].number) + "\r\nMarlek\r\n" + fates[i].text + "\r\n");
        ledger += Ledger::format(
            { isoLocalTime(at.addSecs(60 * i), true), fates[i].outcome, "msg-" + QByteArray::number(i) + ".sms", backup,
                fates[i].result, fates[i].result[0] ? QByteArray("00000480") : QByteArray() });
    }
    Fs::writeFile(Ledger::FileName, ledger);
    TFormMessages messages(settings, &formMain);
    ok = render(messages, out + QStringLiteral("/messages-window.png"), 1500) && ok;
    messages.findChild<QTabWidget*>(QStringLiteral("PageControl1"))->setCurrentIndex(1);
    ok = render(messages, out + QStringLiteral("/messages-fates.png"), 1500) && ok;

    // The tray's menu, as the desktop opens it.
    QMenu* tray = formMain.tray().menu();
    tray->adjustSize();
    const bool trayOk = tray->grab().save(out + QStringLiteral("/tray-menu.png"));
    QTextStream(stderr) << (trayOk ? "wrote " : "cannot write ") << out << "/tray-menu.png\n";
    // A notice, where a session bus is there to carry it (the script runs
    // the renderer under dbus-run-session).
    if (QDBusConnection::sessionBus().isConnected()) {
        FakeNotifications service;
        if (service.start()) {
            formMain.notices().setEnabled(true);
            formMain.notices().creditLow("00000042");
            QElapsedTimer waiting;
            waiting.start();
            while (service.calls.isEmpty() && waiting.elapsed() < 5000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            ok = !service.calls.isEmpty()
                && renderNotice(service.calls.constLast(), out + QStringLiteral("/notice.png")) && ok;
        }
    }
    return ok && trayOk ? 0 : 1;
}
