#include "epg/dvb_text.h"

#include <string_view>

#include "epg/charsets.h"
#include "epg/utf8.h"

namespace Corvid::Capture {

namespace {

constexpr uint32_t REPLACEMENT = 0xFFFD;
constexpr uint8_t CR_LF = 0x8A;
constexpr uint32_t CR_LF_WIDE = 0xE08A;  // the same in UCS-2 and UTF-8

// The default table from 0xA0 up; below that it is ASCII (0x20..0x7E), the rest has no character.
constexpr uint32_t DEFAULT_HIGH[96] = {
    // 0xA0
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x20AC, 0x00A5, 0, 0x00A7, 0x00A4, 0x2018, 0x201C, 0x00AB,
    0x2190, 0x2191, 0x2192, 0x2193,
    // 0xB0
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00D7, 0x00B5, 0x00B6, 0x00B7, 0x00F7, 0x2019, 0x201D, 0x00BB,
    0x00BC, 0x00BD, 0x00BE, 0x00BF,
    // 0xC0: non-spacing diacritics
    0, 0x0300, 0x0301, 0x0302, 0x0303, 0x0304, 0x0306, 0x0307, 0x0308, 0, 0x030A, 0x0327, 0, 0x030B,
    0x0328, 0x030C,
    // 0xD0
    0x2015, 0x00B9, 0x00AE, 0x00A9, 0x2122, 0x266A, 0x00AC, 0x00A6, 0, 0, 0, 0, 0x215B, 0x215C,
    0x215D, 0x215E,
    // 0xE0
    0x2126, 0x00C6, 0x0110, 0x00AA, 0x0126, 0, 0x0132, 0x013F, 0x0141, 0x00D8, 0x0152, 0x00BA,
    0x00DE, 0x0166, 0x014A, 0x0149,
    // 0xF0
    0x0138, 0x00E6, 0x0111, 0x00F0, 0x0127, 0x0131, 0x0133, 0x0140, 0x0142, 0x00F8, 0x0153, 0x00DF,
    0x00FE, 0x0167, 0x014B, 0x00AD};

bool is_control(uint8_t b) {
    return b >= 0x80 && b <= 0x9F;
}
bool is_diacritic(uint8_t b) {
    return b >= 0xC1 && b <= 0xCF && default_table_char(b) != 0;
}

// ISO/IEC 6937 writes a diacritic before its letter; Unicode wants the letter first. A pair
// that Unicode has precomposed becomes that character, any other the letter followed by the
// combining mark.
std::string decode_default(const uint8_t* b, size_t n) {
    std::string out;
    out.reserve(n + n / 8);
    for (size_t i = 0; i < n; i++) {
        uint8_t c = b[i];
        if (is_control(c)) {
            if (c == CR_LF) out += '\n';
            continue;
        }
        if (is_diacritic(c) && i + 1 < n && !is_control(b[i + 1]) && !is_diacritic(b[i + 1]) &&
            default_table_char(b[i + 1]) != 0) {
            uint8_t letter = b[++i];
            if (uint32_t composed = Charsets::compose_6937(c, letter)) {
                append_xml_char(out, composed);
            } else {
                append_xml_char(out, default_table_char(letter));
                append_xml_char(out, default_table_char(c));
            }
            continue;
        }
        if (uint32_t code = default_table_char(c)) append_xml_char(out, code);
    }
    return out;
}

std::string decode_single_byte(const Charsets::ByteTable& table, const uint8_t* b, size_t n) {
    std::string out;
    out.reserve(n + n / 8);
    for (size_t i = 0; i < n; i++) {
        uint8_t c = b[i];
        if (c < 0x20 || c == 0x7F) continue;
        if (is_control(c)) {
            if (c == CR_LF) out += '\n';
            continue;
        }
        uint32_t code = table[c];
        append_xml_char(out, code ? code : REPLACEMENT);
    }
    return out;
}

void append_wide(std::string& out, uint32_t code) {
    if (code == CR_LF_WIDE)
        out += '\n';
    else if (code < 0x20 || (code >= 0xE080 && code <= 0xE09F))
        return;  // C0 and DVB control codes
    else if (code >= 0xD800 && code <= 0xDFFF)
        append_xml_char(out, REPLACEMENT);  // UCS-2 has no surrogate pairs
    else
        append_xml_char(out, code);
}

std::string decode_ucs2(const uint8_t* b, size_t n) {
    std::string out;
    out.reserve(n * 3 / 2);
    size_t i = 0;
    for (; i + 1 < n; i += 2)
        append_wide(out, static_cast<uint32_t>(b[i]) << 8 | b[i + 1]);
    if (i < n) append_xml_char(out, REPLACEMENT);  // half a character
    return out;
}

std::string decode_utf8(const uint8_t* b, size_t n) {
    std::string clean = clean_utf8(std::string_view(reinterpret_cast<const char*>(b), n));
    // Control codes: U+E080..U+E09F are EE 82 80..9F.
    std::string out;
    out.reserve(clean.size());
    for (size_t i = 0; i < clean.size(); i++) {
        if (clean.compare(i, 2, "\xEE\x82") == 0 && i + 2 < clean.size()) {
            auto third = static_cast<uint8_t>(clean[i + 2]);
            if (third >= 0x80 && third <= 0x9F) {
                if (third == 0x8A) out += '\n';
                i += 2;
                continue;
            }
        }
        if (static_cast<uint8_t>(clean[i]) >= 0x20 || clean[i] == '\n') out += clean[i];
    }
    return out;
}

}  // namespace

uint32_t default_table_char(uint8_t byte) {
    if (byte >= 0x20 && byte < 0x7F) return byte;
    if (byte >= 0xA0) return DEFAULT_HIGH[byte - 0xA0];
    return 0;
}

std::string decode_dvb_text(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0) return "";
    uint8_t selector = bytes[0];
    if (selector >= 0x01 && selector <= 0x0B) {
        if (const auto* table = Charsets::iso8859(selector + 4u))
            return decode_single_byte(*table, bytes + 1, length - 1);
    } else if (selector == 0x10) {
        if (length >= 3 && bytes[1] == 0) {
            if (const auto* table = Charsets::iso8859(bytes[2]))
                return decode_single_byte(*table, bytes + 3, length - 3);
        }
    } else if (selector == 0x11) {
        return decode_ucs2(bytes + 1, length - 1);
    } else if (selector == 0x15) {
        return decode_utf8(bytes + 1, length - 1);
    }
    // No selector, or one we do not know: the default table, in which the selector bytes
    // (0x00..0x1F) have no character.
    return decode_default(bytes, length);
}

}  // namespace Corvid::Capture
