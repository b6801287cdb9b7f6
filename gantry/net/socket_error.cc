#include "gantry/net/socket_error.h"

#include <cstring>

namespace Gantry::Net {

namespace {

// Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
std::string message_of(int error) {
    if (error == 0) return "Socket EOF";
    std::string message = "Socket Error (";
    message.append(std::to_string(error)).append("): ").append(std::strerror(error));
    return message;
}

}  // namespace

SocketError::SocketError(int error) : std::runtime_error(message_of(error)), error_(error) {}

}  // namespace Gantry::Net
