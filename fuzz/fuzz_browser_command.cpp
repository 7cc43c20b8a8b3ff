// The web launcher's command splitting: any command line gives a program
// path ending in a program extension (or nothing) and clean arguments.
#include "GoToWeb.h"
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool endsWithProgramExtension(QStringView text)
{
    if (text.size() < 4)
        return false;
    const QStringView tail = text.right(4);
    for (const char* ext : { ".EXE", ".BAT", ".COM" }) {
        bool same = true;
        for (int i = 0; i < 4; ++i) {
            const char16_t c = tail[i].unicode();
            const char16_t upper = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
            same = same && upper == char16_t(ext[i]);
        }
        if (same)
            return true;
    }
    return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Half the inputs as 8-bit text the way the registry gives it, half as
    // UTF-8 to reach characters outside Latin-1.
    const char* bytes = reinterpret_cast<const char*>(data);
    const QString command = (size > 0 && data[0] & 1) ? QString::fromUtf8(bytes + 1, qsizetype(size - 1))
                                                      : QString::fromLatin1(bytes, qsizetype(size));
    const QString before = QStringLiteral("untouched");
    QString args = before;
    const QString program = splitBrowserCommand(command, &args);

    // The right-most program extension decides where the path ends.
    qsizetype end = 0;
    for (qsizetype p = command.size(); p >= 4 && end == 0; --p) {
        if (endsWithProgramExtension(QStringView(command).left(p)))
            end = p;
    }
    if (end == 0) {
        check(program.isEmpty());
        check(args == before);
        return 0;
    }
    const QString path = command.left(end);
    check(program == (path.startsWith(u'"') ? path.mid(1) : path));
    check(endsWithProgramExtension(program));
    if (end == command.size())
        check(args.isEmpty());
    // Arguments hold no quote and no placeholder, and no blank or control
    // character at either end.
    check(!args.contains(u'"') && !args.contains(u'%'));
    check(args.isEmpty() || (args.front().unicode() > 32 && args.back().unicode() > 32));
    check(args.size() <= command.size() - end);
    return 0;
}
