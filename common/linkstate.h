#pragma once

// Where the link to the gateway stands: what the window's lights, the
// service's state line, the status file and the metrics all show.
enum class LinkState {
    Disconnected,
    // From Start through the look-up, the connection and the wait for the
    // log-in reply; also while running after a refused log-in.
    Connecting,
    LoggedIn,
};
