#include "frontserver.h"

#include "fsutil.h"
#include "messagekind.h"
#include "notify.h"
#include "paths.h"
#include "senderverdict.h"
#include "statusfile.h"
#include "submissionparse.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const char* reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    default:
        return "Internal Server Error";
    }
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QJsonValue bytesOrNull(const QByteArray& bytes, bool present)
{
    // The ledger's texts are in the gateway's code page.
    return present ? QJsonValue(QString::fromLatin1(bytes)) : QJsonValue(QJsonValue::Null);
}

QString html(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes).toHtmlEscaped();
}

// The codes the metrics count separately; the rest as "other".
constexpr std::array<int, 14> CountedCodes { 200, 202, 400, 401, 404, 405, 409, 413, 415, 422, 429, 500, 503, 0 };
constexpr std::array<double, 12> Buckets { 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 5 };

MHD_Result accessHandler(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
    const char* upload, size_t* uploadSize, void** context)
{
    return MHD_Result(FrontServer::onRequest(self, connection, url, method, upload, uploadSize, context));
}

void completedHandler(void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
{
    FrontServer::onCompleted(self, connection, context);
}

void connectionHandler(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code)
{
    FrontServer::onConnection(self, connection, code == MHD_CONNECTION_NOTIFY_STARTED);
}

} // namespace

// What a request carries between libmicrohttpd's calls.
struct FrontServer::Request
{
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    QByteArray body;
    bool tooLarge = false;
    bool answered = false;
    int status = 0;
    QByteArray client; // the token's name
};

struct FrontServer::Response
{
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    void header(const QByteArray& name, const QByteArray& value) { headers.append(std::make_pair(name, value)); }

    static Response problem(int status, const QByteArray& type, const QString& detail, const QByteArray& field = {})
    {
        QJsonObject o { { u"type"_qs, QString::fromLatin1(type) }, { u"title"_qs, QString::fromLatin1(reason(status)) },
            { u"status"_qs, status }, { u"detail"_qs, detail } };
        if (!field.isEmpty())
            o.insert(u"field"_qs, QString::fromLatin1(field));
        return { status, "application/problem+json", json(o), {} };
    }
};

class FrontServer::Metrics
{
public:
    std::array<std::atomic<qint64>, CountedCodes.size()> byCode {};
    std::atomic<qint64> accepted { 0 };
    std::atomic<qint64> replays { 0 };
    std::atomic<qint64> refusedCredentials { 0 };
    std::array<std::atomic<qint64>, Buckets.size()> buckets {};
    std::atomic<qint64> count { 0 };
    std::atomic<qint64> sumMicros { 0 };

    void record(int status, double seconds)
    {
        const auto it = std::find(CountedCodes.begin(), CountedCodes.end() - 1, status);
        ++byCode[size_t(it - CountedCodes.begin())];
        for (size_t i = 0; i < Buckets.size(); ++i) {
            if (seconds <= Buckets[i])
                ++buckets[i];
        }
        ++count;
        sumMicros += qint64(seconds * 1e6);
    }

    QByteArray text() const
    {
        QByteArray out;
        out += "# HELP marlek_sms_http_requests_total Requests answered, by status code.\n"
               "# TYPE marlek_sms_http_requests_total counter\n";
        for (size_t i = 0; i < CountedCodes.size(); ++i) {
            const QByteArray code = CountedCodes[i] ? QByteArray::number(CountedCodes[i]) : QByteArray("other");
            out += "marlek_sms_http_requests_total{code=\"" + code + "\"} " + QByteArray::number(byCode[i].load())
                + '\n';
        }
        auto counter = [&out](const char* name, const char* help, qint64 value) {
            out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " counter\n" + name + ' '
                + QByteArray::number(value) + '\n';
        };
        counter("marlek_sms_http_messages_accepted_total", "Messages written into the outbox.", accepted.load());
        counter("marlek_sms_http_replays_total", "Requests answered again from their idempotency key.", replays.load());
        counter("marlek_sms_http_refused_credentials_total", "Requests with a missing or wrong token.",
            refusedCredentials.load());
        out += "# HELP marlek_sms_http_request_duration_seconds Time from a request's headers to its answer.\n"
               "# TYPE marlek_sms_http_request_duration_seconds histogram\n";
        for (size_t i = 0; i < Buckets.size(); ++i)
            out += "marlek_sms_http_request_duration_seconds_bucket{le=\"" + QByteArray::number(Buckets[i]) + "\"} "
                + QByteArray::number(buckets[i].load()) + '\n';
        out += "marlek_sms_http_request_duration_seconds_bucket{le=\"+Inf\"} " + QByteArray::number(count.load())
            + "\nmarlek_sms_http_request_duration_seconds_sum " + QByteArray::number(double(sumMicros.load()) / 1e6)
            + "\nmarlek_sms_http_request_duration_seconds_count " + QByteArray::number(count.load()) + '\n';
        return out;
    }
};

FrontServer::FrontServer(Config config)
    : m_config(std::move(config))
    , m_outboxSync(m_config.outbox)
    , m_keys(m_config.outbox)
    , m_ledger(m_config.workdirs)
    , m_metrics(std::make_unique<Metrics>())
    , m_tokens(m_config.tokens)
    , m_names(QCoreApplication::applicationPid())
{
}

void FrontServer::setTokens(const QList<Tokens::Entry>& tokens)
{
    std::lock_guard guard(m_tokensLock);
    m_tokens = tokens;
}

FrontServer::~FrontServer()
{
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
}

void FrontServer::log(int priority, const QByteArray& text)
{
    static const bool journal = ServiceNotify::isJournal(stderr);
    const QByteArray line
        = (journal ? '<' + QByteArray::number(priority) + '>' : QByteArray()) + "marlek-sms-http: " + text + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

bool FrontServer::start(int listenFd, QString* error)
{
    if (!m_outboxSync.open()) {
        *error = QStringLiteral("cannot open the outbox %1").arg(QString::fromLocal8Bit(m_config.outbox));
        return false;
    }
    if (!m_keys.open()) {
        *error = QStringLiteral("cannot make the folder %1 for the idempotency keys")
                     .arg(QString::fromLocal8Bit(joinDir(m_config.outbox, KeyStore::FolderName)));
        return false;
    }
    countOutbox();
    m_daemon
        = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC,
            0, nullptr, nullptr, &accessHandler, this, MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_CONNECTION_LIMIT,
            m_config.connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, m_config.timeoutSeconds,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(64 * 1024), MHD_OPTION_THREAD_STACK_SIZE, size_t(256 * 1024),
            MHD_OPTION_NOTIFY_COMPLETED, &completedHandler, this, MHD_OPTION_NOTIFY_CONNECTION, &connectionHandler,
            this, MHD_OPTION_END);
    if (!m_daemon) {
        *error = QStringLiteral("the HTTP server does not start");
        return false;
    }
    return true;
}

void FrontServer::stop(std::chrono::milliseconds grace)
{
    if (!m_daemon)
        return;
    const MHD_socket listening = MHD_quiesce_daemon(m_daemon);
    if (listening != MHD_INVALID_SOCKET)
        ::close(listening);
    const qint64 deadline = monotonicMs() + grace.count();
    while (m_active.load() > 0 && monotonicMs() < deadline)
        ::usleep(10000);
    if (m_active.load() > 0)
        log(4, QByteArray::number(m_active.load()) + " requests still in progress after the grace time");
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

void FrontServer::watch(MHD_Connection* connection, qint64 deadlineMs)
{
    std::lock_guard guard(m_watchLock);
    const auto it = m_watched.find(connection);
    if (it != m_watched.end())
        it->deadlineMs = deadlineMs;
}

void FrontServer::onConnection(void* self, MHD_Connection* connection, bool started)
{
    auto* server = static_cast<FrontServer*>(self);
    std::lock_guard guard(server->m_watchLock);
    if (started) {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        // The headers must be in within the time.
        server->m_watched.insert(connection,
            { info ? info->connect_fd : -1, monotonicMs() + qint64(server->m_config.timeoutSeconds) * 1000 });
    } else {
        // Called before libmicrohttpd closes the descriptor: it is never
        // shut down once another connection may have it.
        server->m_watched.remove(connection);
    }
}

void FrontServer::onCompleted(void* self, MHD_Connection* connection, void** context)
{
    auto* server = static_cast<FrontServer*>(self);
    auto* request = static_cast<Request*>(*context);
    if (!request)
        return;
    *context = nullptr;
    // A request never answered (the client went, or was too slow) is no
    // answer to count.
    if (request->status) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - request->start).count();
        server->m_metrics->record(request->status, seconds);
    }
    // The next request's headers within the time, from now.
    server->watch(connection, monotonicMs() + qint64(server->m_config.timeoutSeconds) * 1000);
    delete request;
    --server->m_active;
}

int FrontServer::onRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
    const char* upload, size_t* uploadSize, void** context)
{
    auto* server = static_cast<FrontServer*>(self);
    auto* request = static_cast<Request*>(*context);
    if (!request) {
        request = new Request;
        *context = request;
        ++server->m_active;
        // The body within the time, from now.
        server->watch(connection, monotonicMs() + qint64(server->m_config.timeoutSeconds) * 1000);
        // A body that will be refused is refused before it is read; the
        // rest is answered once the request is complete, which keeps the
        // connection open for the next one.
        if (QByteArray(url) == "/v1/messages" && QByteArray(method) == "POST")
            return server->begin(connection, request, QByteArray(url), QByteArray(method));
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (!request->tooLarge && request->body.size() + qint64(*uploadSize) <= server->m_config.maxBody) {
            request->body.append(upload, qsizetype(*uploadSize));
        } else {
            request->tooLarge = true;
            request->body.clear();
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    if (request->answered)
        return MHD_YES;
    // The whole body is in: answering is the front's time, not the client's.
    server->watch(connection, 0);
    if (QByteArray(url) != "/v1/messages" || QByteArray(method) != "POST")
        return server->begin(connection, request, QByteArray(url), QByteArray(method));
    if (request->tooLarge)
        return server->send(connection, request,
            Response::problem(
                413, "about:blank", QStringLiteral("the body is over %1 bytes").arg(server->m_config.maxBody)));
    return server->send(connection, request, server->submit(connection, request));
}

int FrontServer::send(MHD_Connection* connection, Request* request, const Response& response)
{
    request->answered = true;
    request->status = response.status;
    MHD_Response* r = MHD_create_response_from_buffer(
        size_t(response.body.size()), const_cast<char*>(response.body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", response.contentType.constData());
    MHD_add_response_header(r, "Cache-Control", "no-store");
    for (const auto& [name, value] : response.headers)
        MHD_add_response_header(r, name.constData(), value.constData());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(response.status), r);
    MHD_destroy_response(r);
    return queued;
}

QByteArray FrontServer::authenticate(MHD_Connection* connection)
{
    QByteArray token;
    const QByteArray header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    if (header.size() > 7 && header.left(7).toLower() == "bearer ") {
        token = header.mid(7).trimmed();
    } else {
        char* password = nullptr;
        if (char* user = MHD_basic_auth_get_username_password(connection, &password)) {
            MHD_free(user);
            if (password) {
                token = password;
                MHD_free(password);
            }
        }
    }
    QList<Tokens::Entry> tokens;
    {
        std::lock_guard guard(m_tokensLock);
        tokens = m_tokens;
    }
    const QByteArray name = token.isEmpty() ? QByteArray() : Tokens::match(tokens, token);
    if (!name.isEmpty())
        return name;
    ++m_metrics->refusedCredentials;
    // At most one line a second, so a flood of guesses does not flood the
    // journal; never the token.
    const qint64 now = monotonicMs();
    qint64 last = m_lastRefusalLog.load();
    if (now - last >= 1000 && m_lastRefusalLog.compare_exchange_strong(last, now)) {
        QByteArray peer = "an unknown address";
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (info && info->client_addr) {
            // The listening socket's family tells the peer's.
            char text[64] = {};
            const sockaddr* a = info->client_addr;
            if (a->sa_family == AF_INET)
                ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
            else if (a->sa_family == AF_INET6)
                ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
            peer = text;
        }
        const qint64 more = m_refusalsUnlogged.exchange(0);
        log(4,
            QByteArray(token.isEmpty() ? "no token" : "a wrong token") + " from " + peer
                + (more ? " (and " + QByteArray::number(more) + " more refused since the last line)" : QByteArray()));
    } else {
        ++m_refusalsUnlogged;
    }
    return {};
}

int FrontServer::begin(MHD_Connection* connection, Request* request, const QByteArray& path, const QByteArray& method)
{
    const bool get = method == "GET" || method == "HEAD";
    auto notAllowed = [&](const QByteArray& allow) {
        Response r = Response::problem(405, "about:blank",
            QStringLiteral("%1 takes %2").arg(QString::fromLatin1(path), QString::fromLatin1(allow)));
        r.header("Allow", allow);
        return send(connection, request, r);
    };
    if (path == "/healthz") {
        if (!get)
            return notAllowed("GET, HEAD");
        return send(connection, request, { 200, "text/plain; charset=utf-8", "ok\n", {} });
    }
    request->client = authenticate(connection);
    if (request->client.isEmpty()) {
        Response r = Response::problem(401, "about:blank",
            QStringLiteral("send a token: Authorization: Bearer TOKEN, or HTTP Basic with the token as the password"));
        r.header("WWW-Authenticate", "Bearer realm=\"marlek-sms\"");
        r.header("WWW-Authenticate", "Basic realm=\"marlek-sms\", charset=\"UTF-8\"");
        return send(connection, request, r);
    }
    if (path == "/v1/messages") {
        if (method != "POST")
            return notAllowed("POST");
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (length && QByteArray(length).toLongLong() > m_config.maxBody)
            return send(connection, request,
                Response::problem(
                    413, "about:blank", QStringLiteral("the body is over %1 bytes").arg(m_config.maxBody)));
        const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
        if (HttpSubmission::bodyType(type ? QByteArray(type) : QByteArray()) == HttpSubmission::BodyType::Other)
            return send(connection, request,
                Response::problem(
                    415, "about:blank", QStringLiteral("send application/json or application/x-www-form-urlencoded")));
        return MHD_YES; // the body comes next
    }
    Response response;
    if (path.startsWith("/v1/messages/")) {
        if (!get)
            return notAllowed("GET, HEAD");
        response = lookup(path.mid(13));
    } else if (path == "/v1/status") {
        if (!get)
            return notAllowed("GET, HEAD");
        response = status();
    } else if (path == "/metrics") {
        if (!get)
            return notAllowed("GET, HEAD");
        response = metrics();
    } else if (path == "/") {
        if (!get)
            return notAllowed("GET, HEAD");
        response = page();
    } else {
        response = Response::problem(404, "about:blank", QStringLiteral("no such path"));
    }
    watch(connection, 0);
    return send(connection, request, response);
}

FrontServer::Response FrontServer::submit(MHD_Connection* connection, Request* request)
{
    const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
    HttpSubmission::Refusal refusal;
    const HttpSubmission::Request message = HttpSubmission::parse(
        HttpSubmission::bodyType(type ? QByteArray(type) : QByteArray()), request->body, &refusal);
    if (refusal.status)
        return Response::problem(refusal.status, refusal.status == 422 ? "urn:marlek-sms:invalid-field" : "about:blank",
            refusal.detail, refusal.field);
    const char* keyHeader = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Idempotency-Key");
    const QByteArray key = keyHeader ? QByteArray(keyHeader) : QByteArray();
    if (keyHeader && !HttpSubmission::isIdempotencyKey(key))
        return Response::problem(400, "about:blank",
            QStringLiteral("Idempotency-Key: 1 to 255 visible ASCII characters"), "Idempotency-Key");
    const QByteArray fingerprint = HttpSubmission::fingerprint(message);

    auto accepted = [](const QByteArray& id) {
        Response r { 202, "application/json",
            json({ { u"id"_qs, QString::fromLatin1(id) }, { u"state"_qs, u"queued"_qs } }), {} };
        r.header("Location", "/v1/messages/" + id);
        return r;
    };
    if (keyHeader) {
        const KeyStore::Claim claim = m_keys.claim(request->client, key, fingerprint);
        switch (claim.outcome) {
        case KeyStore::Claim::Owned:
            break;
        case KeyStore::Claim::Replay: {
            ++m_metrics->replays;
            Response r = accepted(claim.id);
            r.header("Idempotent-Replayed", "true");
            return r;
        }
        case KeyStore::Claim::InProgress:
            return Response::problem(409, "urn:marlek-sms:idempotency-in-progress",
                QStringLiteral("a request with this Idempotency-Key is still being handled; try again"),
                "Idempotency-Key");
        case KeyStore::Claim::Conflict:
            return Response::problem(422, "urn:marlek-sms:idempotency-conflict",
                QStringLiteral("this Idempotency-Key was used for another message"), "Idempotency-Key");
        case KeyStore::Claim::Failed:
            return Response::problem(503, "urn:marlek-sms:outbox-unwritable",
                QStringLiteral("the idempotency key cannot be recorded (a full disk?)"));
        }
    }
    if (queued() >= m_config.maxQueued) {
        if (keyHeader)
            m_keys.release(request->client, key);
        Response r = Response::problem(
            429, "urn:marlek-sms:queue-full", QStringLiteral("%1 messages wait in the outbox already").arg(queued()));
        r.header("Retry-After", QByteArray::number(retryAfterSeconds()));
        return r;
    }
    const MessageKind* kind = MessageKinds::byWord(message.kind);
    const Submission::Published published = Submission::publish(
        m_config.outbox,
        [this, kind] {
            std::lock_guard guard(m_namesLock);
            return m_names.next(kind->extension);
        },
        Submission::messageFile(message.to, message.from, message.text), [this] { m_outboxSync.sync(); });
    if (published.outcome != Submission::Published::Yes) {
        // Nothing is left in the outbox; the key may be used again.
        if (keyHeader)
            m_keys.release(request->client, key);
        log(3, "cannot write a message file into " + m_config.outbox);
        Response r = Response::problem(503, "urn:marlek-sms:outbox-unwritable",
            QStringLiteral("the outbox cannot take the message now (a full disk?); nothing was queued"));
        r.header("Retry-After", "10");
        return r;
    }
    ++m_acceptedSinceCount;
    ++m_metrics->accepted;
    if (keyHeader && !m_keys.complete(request->client, key, fingerprint, published.name))
        log(3, "the message " + published.name + " is queued, but its idempotency key could not be recorded");
    return accepted(published.name);
}

QByteArray FrontServer::stateOf(const QByteArray& id, std::optional<Ledger::Line>* line)
{
    // In the order the file goes: outbox, journal (sent, awaiting its
    // reply), ledger; the ledger once more for a fate told meanwhile.
    if ((*line = m_ledger.find(id)))
        return Ledger::outcomeName((*line)->outcome);
    if (Fs::exists(joinDir(m_config.outbox, id)))
        return "queued";
    for (const QByteArray& dir : m_config.workdirs) {
        QByteArray journal;
        if (!Fs::readFile(joinDir(dir, "SmsSender.journal"), &journal) || !journal.contains(id))
            continue;
        for (const QByteArray& entry : journal.split('\n')) {
            if (entry.startsWith("S ") && (entry.endsWith('/' + id) || entry.endsWith('\t' + id)))
                return "sending";
        }
    }
    if ((*line = m_ledger.find(id)))
        return Ledger::outcomeName((*line)->outcome);
    return {};
}

FrontServer::Response FrontServer::lookup(const QByteArray& id)
{
    std::optional<Ledger::Line> line;
    const QByteArray state = Submission::isSubmissionName(id) ? stateOf(id, &line) : QByteArray();
    if (state.isEmpty())
        return Response::problem(404, "about:blank", QStringLiteral("no message with that id"));
    const bool has = line.has_value();
    const bool answered = has && line->outcome != Ledger::Outcome::Unanswered;
    const QJsonObject o { { u"id"_qs, QString::fromLatin1(id) }, { u"state"_qs, QString::fromLatin1(state) },
        { u"at"_qs, bytesOrNull(has ? line->time : QByteArray(), has) },
        { u"backup"_qs, bytesOrNull(has ? line->backupPath : QByteArray(), has) },
        { u"result"_qs, bytesOrNull(has ? line->result : QByteArray(), answered) },
        { u"counter"_qs, bytesOrNull(has ? line->counter : QByteArray(), answered) } };
    return { 200, "application/json", json(o), {} };
}

FrontServer::Response FrontServer::status()
{
    QJsonArray senders;
    const QDateTime now = QDateTime::currentDateTime();
    for (const QByteArray& dir : m_config.workdirs) {
        QJsonObject o;
        QByteArray text;
        if (Fs::readFile(joinDir(dir, SenderStatus::FileName), &text))
            o = QJsonDocument::fromJson(text).object();
        QString error;
        const std::optional<SenderStatus> s = SenderStatus::fromJson(text, &error);
        const std::optional<bool> held = SenderVerdict::lockHeld(dir);
        o.insert(u"running"_qs, held.value_or(false));
        o.insert(u"stale"_qs, s && held.value_or(false) && SenderVerdict::isStale(*s, now));
        senders.append(o);
    }
    QJsonObject first = senders.isEmpty() ? QJsonObject() : senders.first().toObject();
    if (senders.size() > 1)
        first.insert(u"senders"_qs, senders);
    first.insert(u"queuedInOutbox"_qs, queued());
    return { 200, "application/json", json(first), {} };
}

FrontServer::Response FrontServer::metrics()
{
    return { 200, "text/plain; version=0.0.4; charset=utf-8", m_metrics->text(), {} };
}

FrontServer::Response FrontServer::page()
{
    QString rows;
    for (const Ledger::Line& line : m_ledger.recent(50)) {
        // The message itself, from its backup file, where it can be read.
        QByteArray message;
        QString to;
        QString text;
        for (const QByteArray& dir : m_config.workdirs) {
            const QByteArray path = line.backupPath.startsWith('/') ? line.backupPath : joinDir(dir, line.backupPath);
            if (Fs::readFile(path, &message)) {
                const QList<QByteArray> fields = message.split('\n');
                to = html(fields.value(0).trimmed());
                text = html(fields.value(2).trimmed());
                break;
            }
        }
        rows += QStringLiteral(
            "<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td></tr>\n")
                    .arg(html(line.time), html(Ledger::outcomeName(line.outcome)), html(line.outboxName), to, text,
                        html(line.result), html(line.counter));
    }
    QString link = u"unknown (no status file)"_qs;
    QString counter = u"-"_qs;
    QString info;
    if (!m_config.workdirs.isEmpty()) {
        QByteArray json;
        QString error;
        if (Fs::readFile(joinDir(m_config.workdirs.first(), SenderStatus::FileName), &json)) {
            if (const std::optional<SenderStatus> s = SenderStatus::fromJson(json, &error)) {
                const bool running = SenderVerdict::lockHeld(m_config.workdirs.first()).value_or(false);
                link = QStringLiteral("%1 to %2 since %3%4")
                           .arg(QString::fromLatin1(SenderStatus::linkName(s->link)), s->gateway.toHtmlEscaped(),
                               s->since.toString(Qt::ISODate).toHtmlEscaped(),
                               running ? QString() : u" (the sender does not run)"_qs);
                counter = html(s->counter);
                info = html(s->info);
            }
        }
    }
    const QString body = QStringLiteral(R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta http-equiv="refresh" content="10">
<title>marlek-sms-http</title>
<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left}</style>
</head><body>
<h1>MARLEK SMS sender</h1>
<p>Link: %1</p>
<p>Counter: %2</p>
<p>Info: %3</p>
<p>Queued in the outbox: %4</p>
<h2>The last 50 fates</h2>
<table><tr><th>At</th><th>Fate</th><th>ID</th><th>To</th><th>Text</th><th>Result</th><th>Counter</th></tr>
%5</table>
</body></html>
)")
                             .arg(link, counter, info, QString::number(queued()), rows);
    Response r { 200, "text/html; charset=utf-8", body.toUtf8(), {} };
    r.header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
    r.header("X-Content-Type-Options", "nosniff");
    return r;
}

qint64 FrontServer::retryAfterSeconds() const
{
    // The sender's pace over the last half minute, from its ledger.
    const qint64 newest = m_rateSamples[size_t((m_rateNext + 29) % 30)];
    const qint64 oldest = m_rateSamples[size_t(m_rateNext)];
    const double perSecond = double(newest - oldest) / 30.0;
    const qint64 excess = queued() - m_config.maxQueued + 1;
    if (perSecond <= 0)
        return 30;
    return std::clamp<qint64>(qint64(double(excess) / perSecond + 0.999), 1, 3600);
}

void FrontServer::countOutbox()
{
    qint64 count = 0;
    const qint64 before = m_acceptedSinceCount.load();
    Fs::walkDirectory(m_config.outbox, [&count](const char* name, size_t length) {
        if (length > 0 && name[0] != '.' && MessageKinds::indexOfName(name, length) >= 0)
            ++count;
        return true;
    });
    m_queuedCounted = count;
    m_acceptedSinceCount -= before;
}

void FrontServer::tick()
{
    m_ledger.refresh();
    const qint64 now = monotonicMs();
    {
        std::lock_guard guard(m_watchLock);
        for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
            if (it->deadlineMs > 0 && now > it->deadlineMs && it->fd >= 0) {
                // Too slow: libmicrohttpd sees the connection end and closes it.
                ::shutdown(it->fd, SHUT_RDWR);
                it->deadlineMs = 0;
            }
        }
    }
    if (now - m_lastSecond >= 1000) {
        m_lastSecond = now;
        countOutbox();
        m_rateSamples[size_t(m_rateNext)] = m_ledger.linesSinceStart();
        m_rateNext = (m_rateNext + 1) % 30;
    }
    if (now - m_lastDropCheck >= 5 * 1000) {
        m_lastDropCheck = now;
        m_ledger.dropRemoved();
    }
    if (now - m_lastPrune >= 3600 * 1000 || m_lastPrune == 0) {
        m_lastPrune = now;
        if (const int removed = m_keys.prune())
            log(6, QByteArray::number(removed) + " idempotency keys older than two days removed");
    }
}
