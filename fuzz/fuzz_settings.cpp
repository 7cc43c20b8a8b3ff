// The settings file: any content loads into the first seven lines of the
// text-file rule, or stops at the first missing one with its error.
#include "fuzzcheck.h"
#include "settings.h"
#include "smserror.h"
#include "textfile.h"

#include <QString>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray& settingsPath()
{
    static const QByteArray path = [] {
        const char* tmp = std::getenv("TMPDIR");
        QByteArray pattern = QByteArray(tmp && *tmp ? tmp : "/tmp") + "/fuzz_settings_XXXXXX";
        check(::mkdtemp(pattern.data()) != nullptr);
        return pattern + "/SMS_Key_Client.inf";
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
    const QByteArray& path = settingsPath();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(::write(fd, content.constData(), size_t(content.size())) == content.size());
    ::close(fd);

    const QList<QByteArray> lines = TextFile::splitLines(content);
    SettingsStore store;
    bool loaded = false;
    try {
        loaded = store.load(path);
        check(loaded);
        check(lines.size() >= 7);
    } catch (const SmsError& e) {
        check(lines.size() < 7);
        check(e.text() == QStringLiteral("List index out of bounds (%1)").arg(lines.size()));
    }
    // Whatever was read before a missing line stays; the rest stays empty.
    const QList<QByteArray> values = settingsLines(store.values());
    for (qsizetype i = 0; i < values.size(); ++i)
        check(values[i] == (i < lines.size() ? lines[i] : QByteArray()));

    // Saving what was loaded and loading it again gives the same values.
    if (loaded) {
        check(TextFile::splitLines(TextFile::joinLines(values)) == values);
        const Settings& s = store.values();
        const auto key = splitUserKey(s.userKey);
        check(key[0] + key[1] + key[2] + key[3] == s.userKey.left(16));
    }
    return 0;
}
