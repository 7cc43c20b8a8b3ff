#pragma once

#include "dirsync.h"
#include "keystore.h"
#include "ledgerindex.h"
#include "submission.h"
#include "tokens.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

struct MHD_Daemon;
struct MHD_Connection;

// The HTTP front: libmicrohttpd serves, one thread per connection, so a
// request flushing its file to the disk holds up no other. The handlers
// use Qt Core for files and JSON only, never an event loop; what they
// share is behind locks or atomic. tick() is called by the main thread a
// few times a second for the housekeeping.
class FrontServer
{
public:
    struct Config
    {
        QByteArray outbox;
        QList<QByteArray> workdirs;
        QList<Tokens::Entry> tokens;
        qint64 maxQueued = 10000;
        unsigned connectionLimit = 256;
        unsigned timeoutSeconds = 10; // for the headers, and for the body
        qint64 maxBody = 16 * 1024;
    };

    explicit FrontServer(Config config);
    ~FrontServer();
    FrontServer(const FrontServer&) = delete;
    FrontServer& operator=(const FrontServer&) = delete;

    // Serves on the listening socket; false and the reason when it cannot.
    bool start(int listenFd, QString* error);
    // Housekeeping: new ledger lines, the outbox's count, slow connections,
    // old keys.
    void tick();
    // Stops taking connections, lets the requests in progress finish for at
    // most grace, then stops.
    void stop(std::chrono::milliseconds grace);

    // New clients' tokens for the requests from now on (SIGHUP).
    void setTokens(const QList<Tokens::Entry>& tokens);

    // Logs a line, with the journal's priority prefix where it reads it.
    static void log(int priority, const QByteArray& text);

    // libmicrohttpd's callbacks, through the functions of its own types.
    static int onRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
        const char* upload, size_t* uploadSize, void** context);
    static void onCompleted(void* self, MHD_Connection* connection, void** context);
    static void onConnection(void* self, MHD_Connection* connection, bool started);

private:
    struct Request;
    struct Response;
    class Metrics;

    int begin(MHD_Connection* connection, Request* request, const QByteArray& path, const QByteArray& method);
    Response submit(MHD_Connection* connection, Request* request);
    Response lookup(const QByteArray& id);
    Response status();
    Response page();
    Response metrics();
    int send(MHD_Connection* connection, Request* request, const Response& response);
    QByteArray authenticate(MHD_Connection* connection);
    QByteArray stateOf(const QByteArray& id, std::optional<Ledger::Line>* line);
    qint64 queued() const { return m_queuedCounted.load() + m_acceptedSinceCount.load(); }
    qint64 retryAfterSeconds() const;
    void countOutbox();

    Config m_config;
    MHD_Daemon* m_daemon = nullptr;
    DirectorySync m_outboxSync;
    KeyStore m_keys;
    LedgerIndex m_ledger;
    std::unique_ptr<Metrics> m_metrics;

    std::mutex m_tokensLock;
    QList<Tokens::Entry> m_tokens; // shared data: copies are cheap

    std::mutex m_namesLock;
    Submission::SubmissionNames m_names;

    std::atomic<qint64> m_queuedCounted { 0 };
    std::atomic<qint64> m_acceptedSinceCount { 0 };
    std::atomic<int> m_active { 0 };
    std::atomic<qint64> m_lastRefusalLog { 0 };
    std::atomic<qint64> m_refusalsUnlogged { 0 };

    // Connections by descriptor, each with the moment it must have sent
    // what it is sending (headers, then the body) by; none while a request
    // is being answered.
    struct Watched
    {
        int fd = -1;
        qint64 deadlineMs = 0; // 0: not watched
    };
    std::mutex m_watchLock;
    QHash<MHD_Connection*, Watched> m_watched;
    void watch(MHD_Connection* connection, qint64 deadlineMs);

    // The ledger's lines over the last half minute, for Retry-After.
    std::array<std::atomic<qint64>, 30> m_rateSamples {};
    std::atomic<int> m_rateNext { 0 };
    qint64 m_lastSecond = 0;
    qint64 m_lastPrune = 0;
    qint64 m_lastDropCheck = 0;
};
