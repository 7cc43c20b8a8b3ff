#pragma once

class QProcess;

// Makes the process, once started, run below the sender's own priority, so
// that on a busy machine its commands never take the processor from the
// ticks. Where the system has no such notion, it does nothing.
void runBehindSender(QProcess& process);
