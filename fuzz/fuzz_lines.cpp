// The text-file rule: splitting any bytes into lines, and writing them back.
#include "fuzzcheck.h"
#include "textfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<QByteArray> lines = TextFile::splitLines(text);

    // The text up to its first NUL, line breaks taken out, is the lines joined.
    const qsizetype nul = text.indexOf('\0');
    const QByteArray body = nul < 0 ? text : text.left(nul);
    int breaks = 0;
    QByteArray stripped;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r' || (c == '\n' && !(i > 0 && body[i - 1] == '\r')))
            ++breaks;
        if (c != '\r' && c != '\n')
            stripped.append(c);
    }
    QByteArray joined;
    for (const QByteArray& line : lines) {
        check(!line.contains('\r') && !line.contains('\n') && !line.contains('\0'));
        joined.append(line);
    }
    check(joined == stripped);
    // One line per break, and one more for a last line without a break.
    const bool tail = !body.isEmpty() && !body.endsWith('\r') && !body.endsWith('\n');
    check(lines.size() == breaks + (tail ? 1 : 0));

    // Writing the lines and reading them back gives the same lines.
    const QByteArray written = TextFile::joinLines(lines);
    check(TextFile::splitLines(written) == lines);
    check(written.size() == joined.size() + 2 * lines.size());
    return 0;
}
