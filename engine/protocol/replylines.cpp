#include "replylines.h"

QList<QByteArray> replyLogLines(const GatewayRecord::Reply& reply, RepliedTo to)
{
    if (to == RepliedTo::Message)
        return { reply.success() ? "Transaction Success..." : "Transaction Fail...",
            "Messages To Send = : " + reply.counter };
    if (reply.success())
        return { "Connection Success...", "Messages To Send = : " + reply.counter };
    // A reply without a result code shows none.
    return { "Connection Fail...", "Trans result = : " + QByteArray(reply.resultCode ? 1 : 0, reply.resultCode) };
}
