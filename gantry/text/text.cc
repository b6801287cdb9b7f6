#include "gantry/text/text.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Gantry::Text {

namespace {

// strtol and friends need a terminated string; views from callers need not be.
std::string terminated(std::string_view text) {
    return std::string(text);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string to_decimal(int value) {
    return std::to_string(value);
}
std::string to_decimal64(uint64_t value) {
    return std::to_string(value);
}

std::string to_hex(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", value);
    return buffer;
}

std::string to_hex64(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%" PRIx64, value);
    return buffer;
}

std::string bytes_to_hex(const void* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

std::string bytes_to_hex(std::string_view data) {
    return bytes_to_hex(data.data(), data.size());
}

size_t hex_to_bytes(std::string_view hex, void* out, size_t max_bytes) {
    auto* bytes = static_cast<unsigned char*>(out);
    size_t n = 0;
    for (size_t i = 0; n < max_bytes && i + 1 < hex.size(); i += 2) {
        int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        bytes[n++] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return n;
}

int parse_int(std::string_view text) {
    long value = std::strtol(terminated(text).c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int>(value);
}

uint64_t parse_uint64(std::string_view text) {
    std::string s = terminated(text);
    // strtoull wraps negative text round to huge values; a count or size must not.
    const char* p = s.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        p++;
    if (*p == '-') return 0;
    return std::strtoull(p, nullptr, 10);
}

double parse_double(std::string_view text) {
    return std::strtod(terminated(text).c_str(), nullptr);
}

unsigned parse_hex(std::string_view text) {
    uint64_t value = parse_hex64(text);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<unsigned>(value);
}

uint64_t parse_hex64(std::string_view text) {
    std::string s = terminated(text);
    const char* p = s.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        p++;
    if (*p == '-') return 0;
    return std::strtoull(p, nullptr, 16);
}

std::string format_fixed(double value, int width, int precision, bool zero_pad) {
    char buffer[512];
    if (width < 0) width = 0;
    if (width > 200) width = 200;
    if (precision < 0) precision = 0;
    if (precision > 200) precision = 200;
    int n = std::snprintf(buffer, sizeof buffer, zero_pad ? "%0*.*f" : "%*.*f", width, precision,
                          value);
    if (n < 0) return "";
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, n);
    // Only huge magnitudes get here (%f prints every integer digit).
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), zero_pad ? "%0*.*f" : "%*.*f", width, precision, value);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string to_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string to_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void append_utf8(std::string& out, uint32_t cp) {
    auto byte = [&out](uint32_t b) { out += static_cast<char>(b & 0xFF); };
    auto tail = [&](int shift) { byte(0x80 | ((cp >> shift) & 0x3F)); };
    if (cp < 0x80) {
        byte(cp);
    } else if (cp < 0x800) {
        byte(0xC0 | (cp >> 6));
        tail(0);
    } else if (cp < 0x10000) {
        byte(0xE0 | (cp >> 12));
        tail(6);
        tail(0);
    } else if (cp < 0x200000) {
        byte(0xF0 | (cp >> 18));
        tail(12);
        tail(6);
        tail(0);
    } else if (cp < 0x4000000) {
        byte(0xF8 | (cp >> 24));
        tail(18);
        tail(12);
        tail(6);
        tail(0);
    } else {
        byte(0xFC | ((cp >> 30) & 0x01));
        tail(24);
        tail(18);
        tail(12);
        tail(6);
        tail(0);
    }
}

std::string substitute(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos) break;
        out.append(text, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text, pos);
    return out;
}

namespace {

char fold(char c, bool case_sensitive) {
    return case_sensitive ? c : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Matches one text character against the pattern element at p; sets next to the position after it.
// A '[' without its closing ']' is taken as a literal '['.
bool match_one(std::string_view pattern, size_t p, char c, bool cs, size_t& next) {
    char pc = pattern[p];
    if (pc == '?') {
        next = p + 1;
        return true;
    }
    if (pc == '\\' && p + 1 < pattern.size()) {
        next = p + 2;
        return fold(pattern[p + 1], cs) == fold(c, cs);
    }
    if (pc == '[') {
        size_t q = p + 1;
        bool negate = q < pattern.size() && pattern[q] == '!';
        if (negate) q++;
        bool found = false;
        bool first = true;
        char fc = fold(c, cs);
        while (q < pattern.size() && (first || pattern[q] != ']')) {
            first = false;
            char lo = pattern[q];
            if (lo == '\\' && q + 1 < pattern.size()) lo = pattern[++q];
            char hi = lo;
            if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
                hi = pattern[q + 2];
                if (hi == '\\' && q + 3 < pattern.size()) hi = pattern[++q + 2];
                q += 2;
            }
            lo = fold(lo, cs);
            hi = fold(hi, cs);
            if (static_cast<unsigned char>(lo) <= static_cast<unsigned char>(fc) &&
                static_cast<unsigned char>(fc) <= static_cast<unsigned char>(hi))
                found = true;
            q++;
        }
        if (q < pattern.size()) {
            next = q + 1;
            return found != negate;
        }
        // Unterminated set: a literal '['.
    }
    next = p + 1;
    return fold(pc, cs) == fold(c, cs);
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view text, bool case_sensitive) {
    size_t p = 0, t = 0;
    size_t star_p = std::string_view::npos, star_t = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star_p = ++p;
            star_t = t;
            continue;
        }
        size_t next;
        if (p < pattern.size() && match_one(pattern, p, text[t], case_sensitive, next)) {
            p = next;
            t++;
            continue;
        }
        if (star_p == std::string_view::npos) return false;
        // Let the last star swallow one more character and retry from there.
        p = star_p;
        t = ++star_t;
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

Base64::Base64(char char62, char char63, char pad) : pad_(pad) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::memcpy(alphabet_, letters, 62);
    alphabet_[62] = char62;
    alphabet_[63] = char63;
    std::memset(values_, -1, sizeof values_);
    for (int i = 0; i < 64; i++)
        values_[static_cast<unsigned char>(alphabet_[i])] = static_cast<int8_t>(i);
}

std::string Base64::encode_bytes(const void* data, size_t length, size_t line_length,
                                 std::string_view separator) const {
    const auto* in = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((length + 2) / 3 * 4 +
                (line_length ? (length / line_length + 1) * separator.size() : 0));
    size_t column = 0;
    auto put = [&](char c) {
        out += c;
        if (line_length && ++column == line_length) {
            out.append(separator);
            column = 0;
        }
    };
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
        put(alphabet_[v >> 18]);
        put(alphabet_[(v >> 12) & 63]);
        put(alphabet_[(v >> 6) & 63]);
        put(alphabet_[v & 63]);
    }
    if (length - i == 1) {
        uint32_t v = in[i] << 16;
        put(alphabet_[v >> 18]);
        put(alphabet_[(v >> 12) & 63]);
        put(pad_);
        put(pad_);
    } else if (length - i == 2) {
        uint32_t v = in[i] << 16 | in[i + 1] << 8;
        put(alphabet_[v >> 18]);
        put(alphabet_[(v >> 12) & 63]);
        put(alphabet_[(v >> 6) & 63]);
        put(pad_);
    }
    return out;
}

std::string Base64::encode(std::string_view data, size_t line_length,
                           std::string_view separator) const {
    return encode_bytes(data.data(), data.size(), line_length, separator);
}

std::string Base64::decode(std::string_view text) const {
    std::string out;
    out.reserve((3 * text.size() + 3) / 4);
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text) {
        if (c == pad_) break;
        int v = values_[static_cast<unsigned char>(c)];
        if (v < 0) continue;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((accumulator >> bits) & 0xFF);
        }
    }
    return out;
}

}  // namespace Gantry::Text
