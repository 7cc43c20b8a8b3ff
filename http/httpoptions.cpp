#include "httpoptions.h"

#include "intparse.h"
#include "smserror.h"
#include "tokens.h"

#include <QFile>

const char* HttpOptions::usage()
{
    return R"(Usage: marlek-sms-http [OPTIONS]

Takes messages over HTTP for the MARLEK SMS sender: writes each into the
outbox as a message file, and answers lookups from the senders' ledgers and
status files. It never talks to the gateway itself.

Options:
  --outbox DIR          the outbox (default: the one the first --workdir's
                        settings file names)
  --workdir DIR         a sender's working directory, with its ledger and
                        status file; once for each sender on the outbox
                        (default: the current folder)
  --listen ADDR:PORT    where to listen (default 127.0.0.1:8466; [ADDR]:PORT
                        for IPv6); a socket handed over by systemd comes first
  --tokens FILE         the clients' names and token hashes
                        (default /etc/marlek-sms-http/tokens); refused when
                        others than its owner may write it or anyone may read it
  --max-queued N        answer 429 while N message files wait (default 10000)
  --max-connections N   connections at once (default 256)
  --help, --version

Endpoints: POST /v1/messages, GET /v1/messages/ID, GET /v1/status,
GET /metrics, GET / (a page), GET /healthz. See marlek-sms-http(8).
)";
}

HttpOptions HttpOptions::parse(const QStringList& arguments, QString* error)
{
    HttpOptions o;
    o.tokens = Tokens::DefaultFile;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString arg = arguments[i];
        QString value;
        const bool hasValue = arg.startsWith(u"--") && arg.contains(u'=');
        if (hasValue) {
            value = arg.mid(arg.indexOf(u'=') + 1);
            arg = arg.left(arg.indexOf(u'='));
        }
        if (arg == u"--help" || arg == u"-h" || arg == u"--version") {
            if (hasValue) {
                *error = QStringLiteral("%1 takes no value").arg(arg);
                return o;
            }
            (arg == u"--version" ? o.version : o.help) = true;
            continue;
        }
        static const QStringList valued { u"--outbox"_qs, u"--workdir"_qs, u"--listen"_qs, u"--tokens"_qs,
            u"--max-queued"_qs, u"--max-connections"_qs };
        if (!valued.contains(arg)) {
            *error = QStringLiteral("unknown option '%1'").arg(arguments[i]);
            return o;
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs a value").arg(arg);
                return o;
            }
            value = arguments[++i];
        }
        if (value.isEmpty() && arg != u"--workdir") {
            *error = QStringLiteral("%1 needs a value").arg(arg);
            return o;
        }
        try {
            if (arg == u"--outbox")
                o.outbox = QFile::encodeName(value);
            else if (arg == u"--workdir")
                o.workdirs.append(QFile::encodeName(value));
            else if (arg == u"--listen")
                o.listen = value.toLatin1();
            else if (arg == u"--tokens")
                o.tokens = QFile::encodeName(value);
            else if (arg == u"--max-queued")
                o.maxQueued = parseOptionNumber(u"max-queued"_qs, value, 1, 100000000);
            else
                o.maxConnections = parseOptionNumber(u"max-connections"_qs, value, 1, 4096);
        } catch (const SmsError& e) {
            *error = e.text();
            return o;
        }
    }
    if (o.workdirs.isEmpty())
        o.workdirs.append(QByteArray());
    return o;
}
