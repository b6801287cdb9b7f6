#include "epg/charsets.h"

#include <iconv.h>

#include <memory>
#include <mutex>
#include <string>

namespace Corvid::Capture::Charsets {

namespace {

// Converts one short byte sequence to a single code point through cd; 0 if iconv refuses it or
// yields anything but exactly one character.
uint32_t convert_one(iconv_t cd, const char* in, size_t in_length) {
    char input[4];
    for (size_t i = 0; i < in_length; i++)
        input[i] = in[i];
    char output[16];
    char* in_ptr = input;
    char* out_ptr = output;
    size_t in_left = in_length, out_left = sizeof output;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    if (::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1) ||
        in_left != 0)
        return 0;
    if (out_left != sizeof output - 4) return 0;  // UTF-32BE: one character is four bytes
    auto* u = reinterpret_cast<unsigned char*>(output);
    return static_cast<uint32_t>(u[0]) << 24 | u[1] << 16 | u[2] << 8 | u[3];
}

std::unique_ptr<ByteTable> build_8859(unsigned part) {
    std::string name = "ISO-8859-" + std::to_string(part);
    iconv_t cd = ::iconv_open("UTF-32BE", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    auto table = std::make_unique<ByteTable>();
    table->fill(0);
    for (unsigned b = 0x20; b < 0x100; b++) {
        if (b == 0x7F || (b >= 0x80 && b < 0xA0)) continue;
        char byte = static_cast<char>(b);
        (*table)[b] = convert_one(cd, &byte, 1);
    }
    ::iconv_close(cd);
    return table;
}

struct Composition {
    std::array<std::array<uint32_t, 256>, 16> pairs{};  // [diacritic & 0xF][letter]
};

std::unique_ptr<Composition> build_6937() {
    auto table = std::make_unique<Composition>();
    iconv_t cd = ::iconv_open("UTF-32BE", "ISO_6937");
    if (cd == reinterpret_cast<iconv_t>(-1)) return table;
    for (unsigned d = 0xC1; d <= 0xCF; d++) {
        for (unsigned letter = 0x41; letter < 0x80; letter++) {
            char pair[2] = {static_cast<char>(d), static_cast<char>(letter)};
            uint32_t c = convert_one(cd, pair, 2);
            // Only real compositions: a letter with its mark, never the spacing form of a mark.
            if (c >= 0xC0) table->pairs[d & 0xF][letter] = c;
        }
    }
    ::iconv_close(cd);
    return table;
}

}  // namespace

const ByteTable* iso8859(unsigned part) {
    static std::once_flag once[16];
    static std::unique_ptr<ByteTable> tables[16];
    if (part < 1 || part > 15) return nullptr;
    std::call_once(once[part], [part] { tables[part] = build_8859(part); });
    return tables[part].get();
}

uint32_t compose_6937(uint8_t diacritic, uint8_t letter) {
    static const std::unique_ptr<Composition> table = build_6937();
    if (diacritic < 0xC1 || diacritic > 0xCF) return 0;
    return table->pairs[diacritic & 0xF][letter];
}

}  // namespace Corvid::Capture::Charsets
