// Gateway replies: any bytes, of any length, read as a full and as a short
// reply. (The link's gathering of records is reached only through its socket;
// the gateway fault tests drive it with split replies and garbage.)
#include "fuzzcheck.h"
#include "record.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

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
    return 0;
}
