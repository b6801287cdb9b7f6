#include "gantry/tube/frame.h"

namespace Gantry::Tube {
namespace {

void put_32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(value >> shift));
}

}  // namespace

std::string tag_text(uint32_t tag) {
    std::string text;
    put_32(text, tag);
    return text;
}

std::string encode(const Message& message) {
    std::string frame;
    frame.reserve(HEADER_SIZE + message.data.size());
    put_32(frame, message.tag);
    put_32(frame, static_cast<uint32_t>(message.data.size()));
    put_32(frame, message.flags);
    frame += message.data;
    return frame;
}

}  // namespace Gantry::Tube
