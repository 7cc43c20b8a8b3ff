// marlek-sms: hands the MARLEK SMS sender a message, and reads its status
// file and ledger of fates. See --help and marlek-sms(1).
#include "command.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlek-sms"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SMS_VERSION));
    return SmsTool::run(QCoreApplication::arguments(), stdin, stdout, stderr);
}
