// Shared by the channel tests.
#pragma once

#include <string>

#include "gantry/channel/error.h"

namespace Gantry::Channel::Testing {

// The message of the Channel::Error that body throws ("Channel error (code): text"), or a note
// that it threw none.
template <typename Body>
std::string error_of(Body body) {
    try {
        body();
    } catch (const Error& e) {
        return e.what();
    }
    return "no Channel::Error thrown";
}

}  // namespace Gantry::Channel::Testing
