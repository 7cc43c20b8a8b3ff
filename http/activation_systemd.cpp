// Socket activation through libsystemd.
#include "listener.h"

#include <systemd/sd-daemon.h>

namespace Listener {

int activated()
{
    // The variables are unset, so a child started later does not take them.
    const int n = ::sd_listen_fds(1);
    return n >= 1 ? SD_LISTEN_FDS_START : -1;
}

} // namespace Listener
