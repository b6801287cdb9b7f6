// The Tube frame, all integers 32-bit big-endian:
//
//   offset 0   tag     four ASCII characters, read as one integer ("GXMS" for bus messages)
//   offset 4   length  count of data bytes after the flags
//   offset 8   flags
//   offset 12  data
//
// A tag of 0 never goes on the wire: the client queues it as a marker (see client.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Gantry::Tube {

inline constexpr size_t HEADER_SIZE = 12;
// A length is read from the network before anything else about the frame is known, so a larger
// one is taken for a desynchronised stream rather than allocated.
inline constexpr uint32_t MAX_LENGTH = 16u << 20;

constexpr uint32_t make_tag(std::string_view text) {
    uint32_t tag = 0;
    for (size_t i = 0; i < 4; ++i)
        tag = tag << 8 | static_cast<unsigned char>(i < text.size() ? text[i] : 0);
    return tag;
}

// The four characters of a tag, as they came.
std::string tag_text(uint32_t tag);

struct Message {
    uint32_t tag = 0;
    uint32_t flags = 0;
    std::string data;

    bool is_marker() const { return tag == 0; }
};

// The 12 header bytes followed by the data.
std::string encode(const Message& message);

}  // namespace Gantry::Tube
