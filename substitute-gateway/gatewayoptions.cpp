#include "gatewayoptions.h"

#include "record.h"

#include <QCommandLineParser>
#include <climits>
#include <cstring>

namespace {

const char* const Description = R"(A substitute SMS gateway for trying the sender on one machine.

It answers every 396-byte request with a 396-byte reply and every 236-byte
connection test with a 236-byte reply. A reply repeats the request's bytes 36
to 226 (command, destination, sender, text), zeroes the credentials, and fills
the counter (8 digits), the result code and, in the full form, the info text.

Result codes: the --result code for an accepted request, '1' for credentials
other than those of --user/--password/--key, '2' for an unknown command letter
(commands are P log-in, N normal, L logo, M music, F flash).
The counter is shared by all connections; every message record (N, L, M, F)
answered with result 0 takes one off it, down to zero and no further.

Telling a connection test from a full record: bytes are gathered per
connection and every 396 of them are answered at once as a full record. When
exactly 236 bytes are waiting, the command byte (offset 36) is 'P', and no
further byte arrives for the quiet time (--quiet), they are a connection test
and get a 236-byte reply. A message record split anywhere, or a log-in split
with a shorter pause than the quiet time, is answered once as a full record.

Record log (--log): one line per request, appended and flushed at once, ten
tab-separated fields plus the request size:
  time (local, ISO 8601 with ms), connection number (from 1), command letter,
  user name, password, user key, destination, sender, text, result code,
  size (396 or 236)
Text fields end at their first zero byte. Bytes pass as they are, except tab,
CR, LF, backslash and NUL, written as \t, \r, \n, \\ and \0.

Texts on the command line are taken as Latin-1.)";

bool readInt(const QCommandLineParser& parser, const QString& name, int min, int max, int* out, QString* error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const QString text = parser.value(name);
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max) {
        *error = QStringLiteral("--%1: '%2' is not a number from %3 to %4").arg(name, text).arg(min).arg(max);
        return false;
    }
    *out = value;
    return true;
}

std::optional<QByteArray> readText(const QCommandLineParser& parser, const QString& name)
{
    if (!parser.isSet(name))
        return std::nullopt;
    return parser.value(name).toLatin1();
}

} // namespace

ParsedOptions parseGatewayOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Description));
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOptions({
        { QStringLiteral("address"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
            QStringLiteral("ADDR") },
        { QStringLiteral("port"),
            QStringLiteral("Port to listen on; 0 (default) takes any free port. The chosen one is printed as "
                           "\"listening on ADDR:PORT\"."),
            QStringLiteral("N") },
        { QStringLiteral("result"), QStringLiteral("Result code character of accepted requests (default 0)."),
            QStringLiteral("C") },
        { QStringLiteral("counter"), QStringLiteral("Starting counter of messages to send, 0 to 99999999 (default 0)."),
            QStringLiteral("N") },
        { QStringLiteral("info"),
            QStringLiteral("Info text of full replies, up to 160 bytes; \\n, \\r, \\t and \\\\ are escapes."),
            QStringLiteral("TEXT") },
        { QStringLiteral("delay"), QStringLiteral("Delay before each reply, in ms (default 0)."),
            QStringLiteral("MS") },
        { QStringLiteral("split"), QStringLiteral("Send each reply in N writes with pauses between (default 1)."),
            QStringLiteral("N") },
        { QStringLiteral("split-pause"),
            QStringLiteral("Pause between the writes of a split reply, in ms (default 20)."), QStringLiteral("MS") },
        { QStringLiteral("quiet"),
            QStringLiteral("Quiet time after 236 bytes of a log-in before they count as a connection test, in ms "
                           "(default 100)."),
            QStringLiteral("MS") },
        { QStringLiteral("close-after"),
            QStringLiteral("Close a connection gracefully once N requests on it are answered."), QStringLiteral("N") },
        { QStringLiteral("reset-after"), QStringLiteral("Reset a connection (RST) once N requests on it are answered."),
            QStringLiteral("N") },
        { QStringLiteral("mute-after"),
            QStringLiteral("Answer the first N requests on a connection, then read and answer nothing, keeping "
                           "the connection open."),
            QStringLiteral("N") },
        { QStringLiteral("mute-connections"),
            QStringLiteral("With --mute-after, mute only the first K connections (default: all)."),
            QStringLiteral("K") },
        { QStringLiteral("user"), QStringLiteral("Accept only this user name."), QStringLiteral("U") },
        { QStringLiteral("password"), QStringLiteral("Accept only this password."), QStringLiteral("P") },
        { QStringLiteral("key"), QStringLiteral("Accept only this 16-character user key."), QStringLiteral("K") },
        { QStringLiteral("log"), QStringLiteral("Append one line per request to FILE (format above)."),
            QStringLiteral("FILE") },
        { QStringLiteral("garbage"),
            QStringLiteral("After the first log-in reply on a connection, send that many garbage bytes once."),
            QStringLiteral("BYTES") },
        { QStringLiteral("unsolicited"),
            QStringLiteral("After the first log-in reply on a connection, send N extra replies nobody asked for."),
            QStringLiteral("N") },
    });

    ParsedOptions parsed;
    if (!parser.parse(arguments)) {
        parsed.outcome = ParsedOptions::Error;
        parsed.message = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help)) {
        parsed.outcome = ParsedOptions::Help;
        parsed.message = parser.helpText();
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.outcome = ParsedOptions::Error;
        parsed.message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst());
        return parsed;
    }

    GatewayOptions& o = parsed.options;
    QString error;
    int port = 0;
    const bool numbersOk = readInt(parser, QStringLiteral("port"), 0, 65535, &port, &error)
        && readInt(parser, QStringLiteral("counter"), 0, GatewayOptions::MaxCounter, &o.counter, &error)
        && readInt(parser, QStringLiteral("delay"), 0, 3600000, &o.delayMs, &error)
        && readInt(parser, QStringLiteral("split"), 1, GatewayRecord::Size, &o.split, &error)
        && readInt(parser, QStringLiteral("split-pause"), 0, 60000, &o.splitPauseMs, &error)
        && readInt(parser, QStringLiteral("quiet"), 0, 60000, &o.quietMs, &error)
        && readInt(parser, QStringLiteral("close-after"), 1, INT_MAX, &o.closeAfter, &error)
        && readInt(parser, QStringLiteral("reset-after"), 1, INT_MAX, &o.resetAfter, &error)
        && readInt(parser, QStringLiteral("mute-after"), 0, INT_MAX, &o.muteAfter, &error)
        && readInt(parser, QStringLiteral("mute-connections"), 1, INT_MAX, &o.muteConnections, &error)
        && readInt(parser, QStringLiteral("garbage"), 0, 1 << 24, &o.garbage, &error)
        && readInt(parser, QStringLiteral("unsolicited"), 0, 100000, &o.unsolicited, &error);
    o.port = quint16(port);

    if (numbersOk && parser.isSet(QStringLiteral("address"))
        && !o.address.setAddress(parser.value(QStringLiteral("address"))))
        error = QStringLiteral("--address: '%1' is not an IP address").arg(parser.value(QStringLiteral("address")));
    if (error.isEmpty() && parser.isSet(QStringLiteral("result"))) {
        const QByteArray code = parser.value(QStringLiteral("result")).toLatin1();
        if (code.size() != 1)
            error = QStringLiteral("--result: give exactly one character");
        else
            o.result = code.at(0);
    }
    if (error.isEmpty() && parser.isSet(QStringLiteral("info"))) {
        o.info = unescapeText(parser.value(QStringLiteral("info")).toLatin1());
        if (o.info.size() > GatewayRecord::InfoWidth)
            error = QStringLiteral("--info: the text is %1 bytes, at most %2 fit")
                        .arg(o.info.size())
                        .arg(GatewayRecord::InfoWidth);
    }
    o.user = readText(parser, QStringLiteral("user"));
    o.password = readText(parser, QStringLiteral("password"));
    o.key = readText(parser, QStringLiteral("key"));
    o.logFile = parser.value(QStringLiteral("log"));

    if (!error.isEmpty()) {
        parsed.outcome = ParsedOptions::Error;
        parsed.message = error;
    }
    return parsed;
}

QByteArray unescapeText(const QByteArray& text)
{
    static constexpr char escapes[] = "nrt\\";
    static constexpr char bytes[] = "\n\r\t\\";
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        const char* e = c == '\\' && i + 1 < text.size() ? std::strchr(escapes, text.at(i + 1)) : nullptr;
        if (e && *e) {
            out.append(bytes[e - escapes]);
            ++i;
        } else {
            out.append(c);
        }
    }
    return out;
}
