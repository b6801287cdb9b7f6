// Huffman::decode on arbitrary compressed text with the Freesat tables (found through
// CORVID_HUFFMAN_PATTERN or the pattern baked in at build time), and on tables read from the input
// itself, so that malformed mapping files are covered too.
//
// Input: byte 0 bit 7 set: the bytes up to the first 0x00 are a mapping file, the rest the text;
// clear: bit 0 picks Freesat table 1 or 2 and the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "epg/huffman.h"

namespace {

namespace Huffman = Corvid::Capture::Huffman;

Huffman::TableSet* freesat;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    freesat = new Huffman::TableSet;
    const char* pattern = std::getenv("CORVID_HUFFMAN_PATTERN");
    Huffman::load_tables(*freesat, pattern ? pattern : CORVID_FREESAT_PATTERN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    data++;
    size--;
    if (mode & 0x80) {
        const void* end = std::memchr(data, 0, size);
        size_t text_length =
            end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - data) : size;
        std::istringstream in(std::string(reinterpret_cast<const char*>(data), text_length));
        Huffman::CodeTable table;
        Huffman::read_table(table, in);
        size_t rest = end ? size - text_length - 1 : 0;
        std::string body(reinterpret_cast<const char*>(data + size - rest), rest);
        Huffman::decode(table, reinterpret_cast<const uint8_t*>(body.data()), body.size());
        return 0;
    }
    auto table = freesat->find(static_cast<uint8_t>((mode & 1) + 1));
    if (table == freesat->end()) return 0;
    std::string body(reinterpret_cast<const char*>(data), size);
    Huffman::decode(table->second, reinterpret_cast<const uint8_t*>(body.data()), body.size());
    return 0;
}
