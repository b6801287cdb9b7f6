// Sections and packets built from the standards' layouts, for the tests of every table reader.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "mpeg/section.h"
#include "mpeg/table_reader.h"

namespace Corvid::Testing {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes be16(unsigned value) {
    return {uint8_t(value >> 8), uint8_t(value)};
}

inline Bytes descriptor(uint8_t tag, const Bytes& body) {
    return cat({{tag, uint8_t(body.size())}, body});
}

// A long-header section with its CRC, pointer field (0) first; bodies up to private sections' 4093.
inline Bytes section(uint8_t table_id, uint16_t extension, const Bytes& body, bool current = true,
                     uint8_t version = 0) {
    Bytes out;
    MPEG::finish_section({.table_id = table_id,
                          .version = version,
                          .current_next = current,
                          .table_id_extension = extension},
                         body.data(), body.size(), out, 4093 + 3 - MPEG::section_overhead);
    return out;
}

inline Bytes unpointed(const Bytes& section) {
    return Bytes(section.begin() + 1, section.end());
}

// 188-byte packets on a PID, the first with payload_unit_start, the last padded with 0xFF.
inline Bytes packetize(const Bytes& payload, uint16_t pid) {
    Bytes out;
    for (size_t pos = 0; pos < payload.size(); pos += 184) {
        const size_t n = std::min<size_t>(184, payload.size() - pos);
        const auto from = payload.begin() + static_cast<long>(pos);
        out = cat({out,
                   {0x47},
                   be16((pos == 0 ? 0x4000 : 0) | pid),
                   {uint8_t(0x10 | pos / 184 % 16)},
                   Bytes(from, from + static_cast<long>(n)),
                   Bytes(184 - n, 0xFF)});
    }
    return out;
}

// Reads one section (pointer field first) with a fresh reader, which must consume it either way.
template <typename Reader, typename Table>
MPEG::TableReader::Result read_one(const Bytes& section, Table& table) {
    Reader reader;
    MPEG::TSPacket p;
    p.payload_unit_start = true;
    reader.add(p, section.data(), section.size());
    const auto result = reader.read(table);
    EXPECT_EQ(reader.buffered(), 0u);
    return result;
}

}  // namespace Corvid::Testing
