#include "gantry/net/socket_error.h"

#include <cstring>

namespace Gantry::Net {

SocketError::SocketError(int error)
    : std::runtime_error(error == 0 ? std::string("Socket EOF")
                                    : "Socket Error (" + std::to_string(error) +
                                          "): " + std::strerror(error)),
      error_(error) {}

}  // namespace Gantry::Net
