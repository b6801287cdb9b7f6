// Test helpers: bytes from hex text, and the sizes every chunking check cuts its input into.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace Corvid::IndexGen::Testing {

using Bytes = std::vector<uint8_t>;

// "00 00 01 b3" -> bytes.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (unsigned byte; in >> std::hex >> byte;)
        out.push_back(static_cast<uint8_t>(byte));
    return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Single bytes, both sides of the parsers' 16- and 64-byte search windows, a packet's payload and
// a whole packet, a datagram and a large read.
inline constexpr size_t chunk_sizes[] = {1,  5,   7,   13,  15,  16,  17,   31,   63,   64,
                                         65, 183, 184, 187, 188, 189, 1000, 1316, 65536};

}  // namespace Corvid::IndexGen::Testing
