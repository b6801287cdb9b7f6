#include "mpeg/crc32.h"

#include <array>

namespace Corvid::MPEG {

namespace {

constexpr uint32_t polynomial = 0x04C11DB7;

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000) ? crc << 1 ^ polynomial : crc << 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> table = make_table();

}  // namespace

uint32_t crc32_mpeg2(const uint8_t* data, size_t length, uint32_t crc) {
    for (size_t i = 0; i < length; ++i)
        crc = crc << 8 ^ table[(crc >> 24 ^ data[i]) & 0xFF];
    return crc;
}

}  // namespace Corvid::MPEG
