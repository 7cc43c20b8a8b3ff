// Message files: any name in the outbox, any content. The search must find
// exactly the names of the four kinds, and the read must give what a record
// uses of the first three lines of the text-file rule, or throw its error.
#include "fuzzcheck.h"
#include "outbox.h"
#include "smserror.h"
#include "textfile.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray& outboxDir()
{
    static const QByteArray dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        QByteArray pattern = QByteArray(tmp && *tmp ? tmp : "/tmp") + "/fuzz_outbox_XXXXXX";
        check(::mkdtemp(pattern.data()) != nullptr);
        return pattern + '/';
    }();
    return dir;
}

bool writeOld(const QByteArray& path, const QByteArray& content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    // Older than the few seconds in which a file may still be growing.
    const timespec times[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
    ::futimens(fd, times);
    ::close(fd);
    return ok;
}

bool isKind(const QByteArray& name)
{
    for (const char* ext : { ".sms", ".ring", ".lnol", ".flh" }) {
        if (name.endsWith(ext))
            return true;
    }
    return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: length of the name that follows; the rest is the content.
    const size_t nameLength = std::min<size_t>(data[0] % 24, size - 1);
    QByteArray name(reinterpret_cast<const char*>(data + 1), qsizetype(nameLength));
    name.replace('/', '_').replace('\0', '_');
    if (name.isEmpty() || name == "." || name == "..")
        name = "m.sms";
    const QByteArray content(reinterpret_cast<const char*>(data + 1 + nameLength), qsizetype(size - 1 - nameLength));

    const QByteArray dir = outboxDir();
    const QByteArray path = dir + name;
    if (!writeOld(path, content))
        return 0; // a name the file system refuses (too long, say)

    Outbox outbox;
    const QByteArray found = outbox.findNextMessageFile(dir);
    check(found == (isKind(name) ? name : QByteArray()));
    const QByteArray ext = extensionOf(name);
    check(ext.isEmpty() || (name.endsWith(ext) && ext.startsWith('.') && ext.lastIndexOf('.') == 0));
    check((MessageKinds::byExtension(ext) != nullptr) == isKind(name));

    const QList<QByteArray> lines = TextFile::splitLines(content);
    GatewayRecord::Message message;
    try {
        check(outbox.readMessageFile(dir, name, &message) == Outbox::Read::Yes);
        check(lines.size() >= 3);
        // Each line is kept from its start, as far as a record can use it:
        // the record is the one the whole lines give.
        check(lines[0].startsWith(message.destination) && lines[1].startsWith(message.sender)
            && lines[2].startsWith(message.text));
        const GatewayRecord::Credentials credentials { "u", "p", "k" };
        check(GatewayRecord::buildMessageRecord(message, 'N', credentials)
            == GatewayRecord::buildMessageRecord({ lines[0], lines[1], lines[2] }, 'N', credentials));
    } catch (const SmsError& e) {
        check(lines.size() < 3);
        check(e.text() == QStringLiteral("List index out of bounds (%1)").arg(lines.size()));
    }
    ::unlink(path.constData());
    return 0;
}
