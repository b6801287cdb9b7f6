// Character tables of DVB text that glibc's iconv knows better than we would: the ISO/IEC 8859
// parts and the letter-with-diacritic pairs of ISO/IEC 6937. Each table is built from iconv once,
// on first use, and is read-only afterwards, so any thread may use them without a lock (no
// iconv_t is ever shared between threads).
#pragma once

#include <array>
#include <cstdint>

namespace Corvid::Capture::Charsets {

// Code point of each byte; 0 where the part leaves the byte undefined. C0 and C1 control bytes are
// 0 too: DVB gives 0x80..0x9F its own meaning and callers handle them first.
using ByteTable = std::array<uint32_t, 256>;

// The table of ISO/IEC 8859-part, or null if iconv does not know that part (such as 12, which was
// never published).
const ByteTable* iso8859(unsigned part);

// The precomposed character for an ISO/IEC 6937 non-spacing diacritic byte (0xC1..0xCF) followed
// by a letter byte, or 0 if Unicode has none.
uint32_t compose_6937(uint8_t diacritic, uint8_t letter);

}  // namespace Corvid::Capture::Charsets
