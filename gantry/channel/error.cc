#include "gantry/channel/error.h"

#include <ostream>

namespace Gantry::Channel {

Error::Error(int code, std::string text)
    : code_(code),
      text_(std::move(text)),
      message_("Channel error (" + std::to_string(code_) + "): " + text_) {}

std::ostream& operator<<(std::ostream& out, const Error& error) {
    return out << error.what();
}

}  // namespace Gantry::Channel
