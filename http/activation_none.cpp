// listener.h's activation for a build without libsystemd: none.
#include "listener.h"

namespace Listener {

int activated()
{
    return -1;
}

} // namespace Listener
