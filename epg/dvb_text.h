// Uncompressed DVB text strings (EN 300 468 annex A) to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Corvid::Capture {

// Decodes one DVB text field. The first byte may select the character table:
//   0x01..0x0B          ISO/IEC 8859-5 .. 8859-15
//   0x10 0x00 n         ISO/IEC 8859-n
//   0x11                UCS-2, big-endian
//   0x15                UTF-8
// Without a selector, and for selectors we do not know, the text is in the default table
// (ISO/IEC 6937 with the euro sign at 0xA4). The control code CR/LF (0x8A, or U+E08A in the
// two-byte tables) becomes a line feed; the other DVB control codes (emphasis on and off) are
// dropped. The result is always well-formed UTF-8 that XML 1.0 can carry: bytes a table leaves
// undefined and ill-formed sequences become U+FFFD. Thread-safe.
std::string decode_dvb_text(const uint8_t* bytes, size_t length);

// The default table's code point for one byte outside 0x80..0x9F, or 0 where it has none.
// 0xC1..0xCF are the non-spacing diacritics, given here as combining characters.
uint32_t default_table_char(uint8_t byte);

}  // namespace Corvid::Capture
