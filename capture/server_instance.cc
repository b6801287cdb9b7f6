#include "capture/server.h"

namespace Corvid::Capture {

// Made on first use, in main, after the log streams it writes to, so it is destroyed before them.
Server& Server::instance() {
    static Server server;
    return server;
}

}  // namespace Corvid::Capture
