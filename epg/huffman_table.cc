#include <cstring>

#include "epg/huffman.h"

namespace Corvid::Capture::Huffman {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Longest line the reader accepts, as the original files were written for a fixed 256-byte buffer.
constexpr std::streamsize LINE_BUFFER = 256;

}  // namespace

Symbol Symbol::parse(std::string_view field) {
    if (field.empty()) return Symbol{};
    if (field == "START") return make_special(START);
    if (field == "STOP") return make_special(STOP);
    if (field == "ESCAPE") return make_special(ESCAPE);
    if (field.size() == 4 && field[0] == '0' && field[1] == 'x') {
        int high = hex_digit(field[2]), low = hex_digit(field[3]);
        if (high >= 0 && low >= 0) return ordinary(static_cast<uint8_t>(high << 4 | low));
    }
    return ordinary(static_cast<uint8_t>(field[0]));
}

std::string Symbol::to_string() const {
    if (!valid) return "";
    if (special) {
        static const char* const names[] = {"", "START", "STOP", "ESCAPE"};
        return names[kind & 3];
    }
    if (character > 0x20 && character < 0x7F && character != ':') return std::string(1, character);
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[character >> 4] + digits[character & 0xF];
}

CodeTable::AddResult CodeTable::add(const Symbol& from, std::string_view bits, const Symbol& to) {
    auto [it, inserted] = contexts_.try_emplace(from);
    if (inserted) roots_[index(from)] = &it->second;
    Node* node = &it->second;
    bool conflict = false;
    for (char bit : bits) {
        // A code that runs on past a leaf can never be reached by the decoder.
        if (node != &it->second && node->leaf) conflict = true;
        auto& next = node->child[bit == '0' ? 0 : 1];
        if (!next) next = std::make_unique<Node>();
        node = next.get();
    }
    if (node->child[0] || node->child[1]) conflict = true;
    if (node->leaf && !conflict) {
        if (*node->leaf == to) return AddResult::DUPLICATE;
        conflict = true;
    }
    node->leaf = to;
    return conflict ? AddResult::CONFLICT : AddResult::ADDED;
}

bool read_table(CodeTable& table, std::istream& in, ReadStats* stats) {
    ReadStats local;
    ReadStats& s = stats ? *stats : local;
    char buffer[LINE_BUFFER];
    size_t lines = 0;
    for (;;) {
        in.getline(buffer, LINE_BUFFER);
        // A failed read is an over-long line or the end of the input; a line that ran into the
        // end of the input without its line feed is not used either.
        if (in.fail() || in.eof()) break;
        std::string_view line(buffer, std::strlen(buffer));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.back() == ':') line.remove_suffix(1);
        size_t first = line.find(':');
        if (first == std::string_view::npos) break;
        size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) break;
        Symbol from = Symbol::parse(line.substr(0, first));
        std::string_view bits = line.substr(first + 1, second - first - 1);
        Symbol to = Symbol::parse(line.substr(second + 1));
        if (!from.valid || !to.valid) break;
        lines++;
        switch (table.add(from, bits, to)) {
            case CodeTable::AddResult::ADDED:
                break;
            case CodeTable::AddResult::DUPLICATE:
                s.duplicates++;
                break;
            case CodeTable::AddResult::CONFLICT:
                if (s.conflicts++ == 0) s.first_conflict = std::string(line);
                break;
        }
    }
    s.mappings += lines;
    return lines > 0;
}

}  // namespace Corvid::Capture::Huffman
