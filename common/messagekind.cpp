#include "messagekind.h"

#include <cstring>

namespace MessageKinds {
const std::array<MessageKind, 4> searchOrder = { {
    { ".sms", 'N', "normal" },
    { ".ring", 'M', "ring" },
    { ".lnol", 'L', "logo" },
    { ".flh", 'F', "flash" },
} };

const MessageKind* byExtension(const QByteArray& ext)
{
    for (const MessageKind& kind : searchOrder) {
        if (ext == kind.extension)
            return &kind;
    }
    return nullptr;
}

const MessageKind* byWord(const QByteArray& word)
{
    for (const MessageKind& kind : searchOrder) {
        if (word == kind.word)
            return &kind;
    }
    return nullptr;
}

int indexOfName(const char* name, size_t len)
{
    if (len < 4)
        return -1;
    const char* tail = name + len;
    // Cheap check on the last character before comparing whole extensions.
    switch (tail[-1]) {
    case 's':
        return std::memcmp(tail - 4, ".sms", 4) == 0 ? 0 : -1;
    case 'g':
        return len >= 5 && std::memcmp(tail - 5, ".ring", 5) == 0 ? 1 : -1;
    case 'l':
        return len >= 5 && std::memcmp(tail - 5, ".lnol", 5) == 0 ? 2 : -1;
    case 'h':
        return std::memcmp(tail - 4, ".flh", 4) == 0 ? 3 : -1;
    default:
        return -1;
    }
}
} // namespace MessageKinds
