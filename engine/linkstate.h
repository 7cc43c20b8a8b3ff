#pragma once

// Where the link to the gateway stands, as other programs are told it.
enum class LinkState {
    Disconnected,
    // From Start through the look-up, the connection and the wait for the
    // log-in reply; also while running after a refused log-in.
    Connecting,
    LoggedIn,
};

// Why a connection, or an attempt at one, ended.
enum class CloseReason {
    Stopped, // Stop, or the program's own stop
    PeerClosed, // the gateway closed it
    Error, // a socket error: refused, reset, unreachable, look-up failed
    AnswerTimeout, // the gateway, or the connection attempt, went silent
};
