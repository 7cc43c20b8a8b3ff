// marlek-sms token add: a client of the HTTP front gets its token.
#include "command.h"

#include "tokens.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace SmsTool {

namespace {

const char* const TokenHelp = R"(Usage: marlek-sms token add NAME [--tokens FILE]

Makes a random token for a client of the HTTP front marlek-sms-http, appends
the client's NAME (letters, digits, ".", "_", "-") and the token's SHA-256 to
FILE (default: /etc/marlek-sms-http/tokens, made with mode 0640 when new) and
prints the token once, alone on standard output. Only its hash is kept: a
lost token is replaced by a new one under another name.
Exit codes: 0 made; 64 usage, 65 a NAME already there or a damaged FILE,
73 cannot write FILE.
)";

class Token : public Command
{
public:
    using Command::Command;
    int run(const QStringList& arguments);
};

int Token::run(const QStringList& arguments)
{
    QStringList positional;
    QString file = QString::fromLatin1(Tokens::DefaultFile);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == u"--help" || arg == u"-h") {
            std::fputs(TokenHelp, m_io.out);
            return 0;
        }
        if (arg.startsWith(u"--tokens=")) {
            file = arg.mid(9);
        } else if (arg == u"--tokens") {
            if (i + 1 >= arguments.size())
                return fail(Usage, QStringLiteral("--tokens needs a value (see marlek-sms token --help)"));
            file = arguments[++i];
        } else if (arg.startsWith(u'-') && arg != u"-") {
            return fail(Usage, QStringLiteral("unknown option '%1' (see marlek-sms token --help)").arg(arg));
        } else {
            positional.append(arg);
        }
    }
    if (positional.size() != 2 || positional[0] != u"add" || file.isEmpty())
        return fail(Usage, QStringLiteral("token add needs one NAME (see marlek-sms token --help)"));
    const QByteArray name = positional[1].toLatin1();
    if (!Tokens::isValidName(name) || QString::fromLatin1(name) != positional[1])
        return fail(Usage,
            QStringLiteral("'%1' is no client name: 1 to 64 letters, digits, \".\", \"_\" or \"-\"")
                .arg(positional[1]));

    const QByteArray path = QFile::encodeName(file);
    // Appended under a lock, so two commands at once both land whole.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        return fail(CannotCreate, QStringLiteral("cannot open %1").arg(file));
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer { fd };
    if (::lockf(fd, F_LOCK, 0) != 0)
        return fail(CannotCreate, QStringLiteral("cannot lock %1").arg(file));
    QByteArray text;
    char chunk[65536];
    for (ssize_t n; (n = ::pread(fd, chunk, sizeof chunk, text.size())) > 0;)
        text.append(chunk, n);
    QString error;
    const std::optional<QList<Tokens::Entry>> entries = Tokens::parse(text, &error);
    if (!entries)
        return fail(DataError, QStringLiteral("%1: %2").arg(file, error));
    for (const Tokens::Entry& e : *entries) {
        if (e.name == name)
            return fail(DataError, QStringLiteral("%1: the name %2 is there already").arg(file, positional[1]));
    }
    const QByteArray token = Tokens::makeToken();
    // A file whose last line lacks its break gets one first.
    const QByteArray entry
        = (text.isEmpty() || text.endsWith('\n') ? QByteArray() : QByteArray("\n")) + Tokens::line(name, token);
    if (::write(fd, entry.constData(), size_t(entry.size())) != ssize_t(entry.size()) || ::fsync(fd) != 0) {
        if (::ftruncate(fd, text.size()) != 0) { }
        return fail(CannotCreate, QStringLiteral("cannot write %1").arg(file));
    }
    std::fputs((token + '\n').constData(), m_io.out);
    std::fflush(m_io.out);
    return 0;
}

} // namespace

int tokenCommand(const Streams& io, const QStringList& arguments)
{
    return Token(io).run(arguments);
}

} // namespace SmsTool
