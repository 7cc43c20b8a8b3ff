#pragma once

enum class LinkState { Disconnected, Connecting, LoggedIn };
// Connecting: from Start through look-up, connection and the wait for the
// log-in reply (also "running, not logged in" after a failed log-in).
enum class CloseReason { Stopped, PeerClosed, Error, AnswerTimeout };
// Stopped: the operator's Stop / the service's own stop; the rest are lost connections.
