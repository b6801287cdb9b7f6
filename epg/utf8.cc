#include "epg/utf8.h"

namespace Corvid::Capture {

namespace {

constexpr uint32_t REPLACEMENT = 0xFFFD;

bool xml_char(uint32_t c) {
    if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    if (c == 0xFFFE || c == 0xFFFF) return false;
    return c <= 0x10FFFF;
}

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one sequence at text[i]. On success returns its length and sets c; on an ill-formed
// sequence returns the length of its maximal subpart (at least 1) and sets c to U+FFFD and
// ill_formed.
size_t next_char(std::string_view text, size_t i, uint32_t& c, bool& ill_formed) {
    ill_formed = true;
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    if (lead < 0x80) {
        c = lead;
        ill_formed = false;
        return 1;
    }
    size_t need;
    uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        c = REPLACEMENT;
        return 1;
    }
    uint32_t value = lead & (0x3F >> need);
    for (size_t k = 1; k <= need; k++) {
        if (i + k >= text.size()) {
            c = REPLACEMENT;
            return k;
        }
        uint8_t b = byte(i + k);
        if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) {
            c = REPLACEMENT;
            return k;
        }
        value = value << 6 | (b & 0x3F);
    }
    c = value;
    ill_formed = false;
    return need + 1;
}

}  // namespace

void append_xml_char(std::string& out, uint32_t code_point) {
    if (xml_char(code_point)) put_utf8(out, code_point);
}

bool is_clean_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint8_t b = static_cast<uint8_t>(text[i]);
        if (b >= 0x20 && b < 0x80) {
            i++;
            continue;
        }
        uint32_t c;
        bool ill_formed;
        i += next_char(text, i, c, ill_formed);
        if (ill_formed || !xml_char(c)) return false;
    }
    return true;
}

bool is_well_formed_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<uint8_t>(text[i]) < 0x80) {
            i++;
            continue;
        }
        uint32_t c;
        bool ill_formed;
        i += next_char(text, i, c, ill_formed);
        if (ill_formed) return false;
    }
    return true;
}

std::string clean_utf8(std::string_view text) {
    if (is_clean_utf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c;
        bool ill_formed;
        i += next_char(text, i, c, ill_formed);
        append_xml_char(out, c);
    }
    return out;
}

void clean_utf8_in_place(std::string& text) {
    if (!is_clean_utf8(text)) text = clean_utf8(text);
}

}  // namespace Corvid::Capture
