#include "childpriority.h"

#include <QProcess>

#include <unistd.h>

void runBehindSender(QProcess& process)
{
    // In the child between fork and exec: nice() alone is safe there. A
    // failure leaves the command at our priority, which still works.
    process.setChildProcessModifier([] { [[maybe_unused]] const int priority = ::nice(10); });
}
