#include "gatewayoptions.h"
#include "gatewayserver.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("smsgateway"));

    const ParsedOptions parsed = parseGatewayOptions(app.arguments());
    if (parsed.outcome == ParsedOptions::Help) {
        std::fputs(parsed.message.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.outcome == ParsedOptions::Error) {
        std::fprintf(stderr, "smsgateway: %s\nTry 'smsgateway --help'.\n", parsed.message.toLocal8Bit().constData());
        return 2;
    }

    GatewayServer server(parsed.options);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "smsgateway: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    // Tests and scripts read the port from this line.
    const QByteArray line
        = "listening on " + server.address().toString().toLatin1() + ':' + QByteArray::number(server.port()) + '\n';
    std::fputs(line.constData(), stdout);
    std::fflush(stdout);
    return app.exec();
}
