#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Brings SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGUSR2 into the event loop: the handler only
// writes a byte to a socket pair, and a notifier on the other end emits the
// signal. Also ignores SIGPIPE, so a log reader that goes away does not end
// the service. One per process.
class UnixSignals : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;

    // Installs the handlers; throws SmsError with the reason when it cannot.
    void install();

Q_SIGNALS:
    void terminateRequested(); // SIGTERM or SIGINT
    void reloadRequested(); // SIGHUP
    void pauseRequested(bool pause); // SIGUSR1 pauses, SIGUSR2 resumes

private:
    void readPending();

    QSocketNotifier* m_notifier = nullptr;
};
