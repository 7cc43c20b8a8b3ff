#include "gatewayprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

bool waitUntil(const std::function<bool()>& condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

bool GatewayProcess::start(const QStringList& arguments, const QString& program)
{
    error.clear();
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    if (!waitUntil([this] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 10000)) {
        error = QStringLiteral("the gateway printed no port within 10 s");
        return false;
    }
    const QByteArray line = process.readLine().trimmed();
    const QByteArray prefix = "listening on 127.0.0.1:";
    if (!line.startsWith(prefix)) {
        error = QStringLiteral("the gateway printed '%1': %2")
                    .arg(QString::fromLocal8Bit(line), QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    port = quint16(line.mid(prefix.size()).toUInt());
    if (port == 0)
        error = QStringLiteral("the gateway printed no port");
    return port != 0;
}
