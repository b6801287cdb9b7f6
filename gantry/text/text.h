// Number and string conversions used across the library: decimal and hexadecimal text, fixed-point
// formatting, case folding, shell-style wildcard matching, UTF-8 encoding, substitution and base64.
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Gantry::Text {

std::string to_decimal(int value);         // "%d"
std::string to_decimal64(uint64_t value);  // "%llu"
std::string to_hex(unsigned value);        // "%x": lower case, no prefix
std::string to_hex64(uint64_t value);      // "%llx"

// Two lower-case digits per byte, no separators.
std::string bytes_to_hex(const void* data, size_t length);
std::string bytes_to_hex(std::string_view data);
// Reads two hex digits per byte into out, at most max_bytes; stops at the first pair that is not
// hex. Returns the number of bytes stored.
size_t hex_to_bytes(std::string_view hex, void* out, size_t max_bytes);

// Leading whitespace and sign accepted; text without digits gives 0. Out-of-range values saturate
// as strtol/strtoull do.
int parse_int(std::string_view text);
uint64_t parse_uint64(std::string_view text);
double parse_double(std::string_view text);
unsigned parse_hex(std::string_view text);  // optional 0x prefix, as "%x" scans it
uint64_t parse_hex64(std::string_view text);

// Fixed notation with the given precision, right-aligned in width, padded with '0' or ' '.
std::string format_fixed(double value, int width, int precision, bool zero_pad);

std::string to_upper(std::string_view text);  // per byte, C locale
std::string to_lower(std::string_view text);

// Appends the code point in UTF-8 (up to the historical six-byte form for values >= 0x4000000).
void append_utf8(std::string& out, uint32_t code_point);

// Replaces every non-overlapping occurrence of from, left to right. An empty from changes nothing.
std::string substitute(std::string_view text, std::string_view from, std::string_view to);

// Shell-style match of the whole text: '*' any run, '?' one character, '[a-z]' and '[!...]' sets,
// '\' makes the next pattern character literal. Linear in practice: backtracks only to the last
// '*'.
bool wildcard_match(std::string_view pattern, std::string_view text, bool case_sensitive = true);

// RFC 4648 base64 with a configurable 62nd, 63rd and pad character.
class Base64 {
  public:
    explicit Base64(char char62 = '+', char char63 = '/', char pad = '=');

    // With line_length > 0, separator follows every line_length output characters.
    std::string encode_bytes(const void* data, size_t length, size_t line_length = 0,
                             std::string_view separator = "\r\n") const;
    std::string encode(std::string_view data, size_t line_length = 0,
                       std::string_view separator = "\r\n") const;
    // Characters outside the alphabet are skipped; decoding stops at the first pad character.
    std::string decode(std::string_view text) const;

  private:
    char alphabet_[64];
    char pad_;
    int8_t values_[256];
};

}  // namespace Gantry::Text
