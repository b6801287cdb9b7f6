// CRC-32/MPEG-2, the checksum that ends every long-header PSI/SI section: polynomial 0x04C11DB7,
// initial value 0xFFFFFFFF, most significant bit first, no reflection, no final inversion. A whole
// section including its CRC field checks to 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Corvid::MPEG {

constexpr uint32_t crc32_initial = 0xFFFFFFFF;

// Continues crc over the bytes; start with crc32_initial. Pure and thread-safe.
uint32_t crc32_mpeg2(const uint8_t* data, size_t length, uint32_t crc = crc32_initial);

}  // namespace Corvid::MPEG
