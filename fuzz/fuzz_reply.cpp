// Gateway replies: any bytes, of any length, read as a full and as a short
// reply, and a stream cut into whole records the way the link gathers them.
#include "record.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkReply(const QByteArray& received, int size)
{
    const GatewayRecord::Reply r = GatewayRecord::readReply(received, size);
    // Bytes that did not arrive read as zero.
    const char expectedCode = received.size() > GatewayRecord::ResultAt ? received[GatewayRecord::ResultAt] : '\0';
    check(r.resultCode == expectedCode);
    check(r.success() == (expectedCode == '0'));
    check(r.counter.size() <= GatewayRecord::CounterWidth);
    check(!r.counter.contains('\0'));
    check(received.mid(GatewayRecord::CounterAt).startsWith(r.counter));
    if (size >= GatewayRecord::Size) {
        check(r.info.size() <= GatewayRecord::InfoWidth);
        check(!r.info.contains('\0'));
        check(received.mid(GatewayRecord::InfoAt).startsWith(r.info));
    } else {
        check(r.info.isEmpty());
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    checkReply(bytes, GatewayRecord::Size);
    checkReply(bytes, GatewayRecord::ShortSize);

    // The first byte chooses chunk sizes; the rest is the stream. Gathering
    // must hand on exactly the whole records, in order, whatever the cuts.
    if (size < 2)
        return 0;
    const QByteArray stream = bytes.mid(1);
    const int step = 1 + (data[0] % 97) * 7;
    QByteArray gathered;
    QByteArray handed;
    int records = 0;
    for (qsizetype at = 0; at < stream.size(); at += step) {
        gathered.append(stream.mid(at, step));
        qsizetype used = 0;
        while (gathered.size() - used >= GatewayRecord::Size) {
            const QByteArray record = gathered.mid(used, GatewayRecord::Size);
            checkReply(record, GatewayRecord::Size);
            handed.append(record);
            used += GatewayRecord::Size;
            ++records;
        }
        gathered.remove(0, used);
    }
    check(records == stream.size() / GatewayRecord::Size);
    check(handed + gathered == stream);
    return 0;
}
