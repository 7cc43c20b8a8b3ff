#pragma once

// Why a connection, or an attempt at one, ended.
enum class CloseReason {
    Stopped, // Stop, or the program's own stop
    PeerClosed, // the gateway closed it
    Error, // a socket error: refused, reset, unreachable, look-up failed
    AnswerTimeout, // the gateway, or the connection attempt, went silent
};
