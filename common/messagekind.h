#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>

// The four kinds of message file, in the order the outbox is searched.
struct MessageKind
{
    const char* extension; // with its dot
    char command;
    const char* word; // as marlek-sms's --kind names it
};

namespace MessageKinds {
// Search order: ".sms", ".ring", ".lnol", ".flh".
extern const std::array<MessageKind, 4> searchOrder;
// The kind whose extension equals ext exactly, or nullptr.
const MessageKind* byExtension(const QByteArray& ext);
// The kind marlek-sms's --kind names ("normal", "ring", "logo", "flash"), or nullptr.
const MessageKind* byWord(const QByteArray& word);
// Index in the search order of the kind whose extension ends the name
// (case-sensitive), or -1.
int indexOfName(const char* name, size_t length);
} // namespace MessageKinds
