#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

// Runs the event loop until the condition holds or the time is up, as Qt
// Test's qWaitFor does, for programs without Qt Test (the soak).
bool waitUntil(const std::function<bool()>& condition, int ms);

// The real substitute gateway, run as a child process on 127.0.0.1 with a
// port of the system's choosing.
class GatewayProcess
{
public:
    QProcess process;
    quint16 port = 0;
    QString error; // why start() failed

    static QString binary() { return qEnvironmentVariable("SMS_GATEWAY_BIN"); }

    // Starts the gateway and reads the port it prints; false, with the
    // reason in error, if it did not come up within a few seconds.
    bool start(const QStringList& arguments, const QString& program = binary());
    // The same with the options in one text, split at blanks.
    bool start(const char* options) { return start(QString::fromUtf8(options).split(u' ', Qt::SkipEmptyParts)); }

    // Runs the gateway to its end, for options it refuses.
    int runToEnd(const QStringList& arguments, QByteArray* output = nullptr)
    {
        process.start(binary(), arguments);
        if (!waitUntil([this] { return process.state() == QProcess::NotRunning; }, 10000))
            return -1;
        if (output)
            *output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    bool running() const { return process.state() == QProcess::Running; }

    ~GatewayProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            (void)waitUntil([this] { return process.state() == QProcess::NotRunning; }, 5000);
        }
    }
};

// A client that keeps every byte and the size of every read.
class GatewayClient : public QObject
{
public:
    QTcpSocket socket;
    QByteArray received;
    QList<qsizetype> reads;
    bool closed = false;

    GatewayClient()
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            const QByteArray chunk = socket.readAll();
            reads.append(chunk.size());
            received += chunk;
        });
        connect(&socket, &QTcpSocket::disconnected, this, [this] { closed = true; });
    }

    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
};

// A plain socket that tells an orderly close from a reset, which Qt reports
// alike.
class RawClient
{
public:
    enum End { Open, Closed, Reset };
    int fd = -1;
    QByteArray received;
    End end = Open;

    bool connectTo(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    bool send(const QByteArray& bytes)
    {
        return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    // Takes what has arrived without waiting; true once the peer is gone.
    bool drain()
    {
        char buffer[4096];
        while (end == Open) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                received.append(buffer, n);
            else if (n == 0)
                end = Closed;
            else if (errno == ECONNRESET)
                end = Reset;
            else
                break;
        }
        return end != Open;
    }

    // Leaves with a reset instead of an orderly close.
    void reset()
    {
        const linger hard { 1, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(std::exchange(fd, -1));
    }

    ~RawClient()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A listening socket on 127.0.0.1 whose backlog is full and which never
// accepts: a connection attempt to it stays unanswered, as behind a black hole.
class FullBacklogListener
{
public:
    quint16 port = 0;

    // False if the backlog could not be seen to fill.
    bool open();
    ~FullBacklogListener();

private:
    int m_listener = -1;
    QList<int> m_fillers;
};

// The service, marlek-smsd, run as a child process; keeps all it prints.
class ServiceProcess
{
public:
    QProcess process;
    QByteArray out;
    QByteArray err;

    static QString binary() { return qEnvironmentVariable("SMSD_BIN"); }

    // The wrapper, when given, runs the service: its program and arguments
    // come first (setpriv, say). program is the service's own binary.
    void start(const QStringList& arguments, const QStringList& wrapper = {}, const QString& program = binary())
    {
        process.setProgram(wrapper.isEmpty() ? program : wrapper.first());
        process.setArguments(wrapper.isEmpty() ? arguments : wrapper.mid(1) + QStringList { program } + arguments);
        process.start();
    }

    // Lines printed so far on stdout.
    QByteArrayList lines()
    {
        out += process.readAllStandardOutput();
        return out.split('\n');
    }

    int count(const QByteArray& line)
    {
        const QByteArrayList all = lines();
        return int(std::count(all.cbegin(), all.cend(), line));
    }

    // The lines printed so far that start with prefix, in order.
    QByteArrayList linesStartingWith(const QByteArray& prefix)
    {
        QByteArrayList found;
        for (const QByteArray& line : lines()) {
            if (line.startsWith(prefix))
                found.append(line);
        }
        return found;
    }

    QByteArray errors()
    {
        err += process.readAllStandardError();
        return err;
    }

    // The exit code once it has ended by itself, or -1.
    int waitForExit(int ms = 20000)
    {
        if (!waitUntil([this] { return process.state() == QProcess::NotRunning; }, ms))
            return -1;
        (void)lines();
        (void)errors();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    ~ServiceProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            (void)waitUntil([this] { return process.state() == QProcess::NotRunning; }, 5000);
        }
    }
};

// A datagram socket in place of systemd's notification socket: what a
// service started with NOTIFY_SOCKET set to path sends, one entry per
// datagram.
class NotifySocket
{
public:
    QByteArray path;
    QByteArrayList received;
    QList<qint64> arrivedUsec; // when each arrived (wall clock)

    bool bind(const QByteArray& socketPath)
    {
        path = socketPath;
        sockaddr_un a {};
        if (size_t(path.size()) >= sizeof a.sun_path)
            return false;
        a.sun_family = AF_UNIX;
        std::copy(path.cbegin(), path.cend(), a.sun_path);
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // The kernel stamps each datagram as it arrives, however late it is read.
        const int on = 1;
        return fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) == 0
            && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    // Everything received so far.
    const QByteArrayList& messages()
    {
        char buffer[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        for (;;) {
            iovec io { buffer, sizeof buffer };
            msghdr m {};
            m.msg_iov = &io;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd, &m, MSG_DONTWAIT);
            if (n < 0)
                break;
            received.append(QByteArray(buffer, n));
            qint64 usec = -1;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP) {
                    timeval tv {};
                    std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
                    usec = qint64(tv.tv_sec) * 1000000 + tv.tv_usec;
                }
            }
            arrivedUsec.append(usec);
        }
        return received;
    }

    // The times between arrivals of message, in microseconds.
    QList<qint64> gapsUsec(const QByteArray& message)
    {
        QList<qint64> gaps;
        qint64 last = -1;
        const QByteArrayList& all = messages();
        for (qsizetype i = 0; i < all.size(); ++i) {
            if (all[i] != message)
                continue;
            if (last >= 0)
                gaps.append(arrivedUsec[i] - last);
            last = arrivedUsec[i];
        }
        return gaps;
    }

    int count(const QByteArray& message)
    {
        const QByteArrayList& all = messages();
        return int(std::count(all.cbegin(), all.cend(), message));
    }

    ~NotifySocket()
    {
        if (fd >= 0)
            ::close(fd);
    }

private:
    int fd = -1;
};

// marlek-sms run as a child process to its end: its exit code (-1: it did
// not end by itself in time) and what it printed.
struct ToolRun
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

inline QString toolBinary()
{
    return qEnvironmentVariable("MARLEK_SMS_BIN");
}

inline ToolRun runTool(const QStringList& arguments, const QByteArray& input = {}, int ms = 60000)
{
    QProcess tool;
    tool.start(toolBinary(), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    ToolRun run;
    if (waitUntil([&tool] { return tool.state() == QProcess::NotRunning; }, ms)
        && tool.exitStatus() == QProcess::NormalExit)
        run.code = tool.exitCode();
    else
        tool.kill();
    tool.waitForFinished(5000);
    run.out = tool.readAllStandardOutput();
    run.err = tool.readAllStandardError();
    return run;
}
