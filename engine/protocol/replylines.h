#pragma once

#include "record.h"

#include <QByteArray>
#include <QList>

// What a gateway reply answered: the log-in or a message.
enum class RepliedTo { Login, Message };

// The log lines a gateway reply gives, the same for the link and for the
// connection test.
QList<QByteArray> replyLogLines(const GatewayRecord::Reply& reply, RepliedTo to);
