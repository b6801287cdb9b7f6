// Timing of the bus client; tests shorten it.
#pragma once

#include <chrono>

#include "gantry/tube/client.h"

namespace Gantry::Trellis {

struct Options {
    Tube::Options tube;
    // How long request() waits for its reply.
    std::chrono::milliseconds request_timeout{30000};
    // Workers handling incoming messages: one is always there, more are started up to this.
    unsigned max_workers = 10;
};

}  // namespace Gantry::Trellis
