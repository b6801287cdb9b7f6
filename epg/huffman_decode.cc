#include "epg/huffman.h"

namespace Corvid::Capture::Huffman {

namespace {

// Most significant bit of each byte first, over exactly the given bytes.
class BitReader {
  public:
    BitReader(const uint8_t* bytes, size_t length) : bytes_(bytes), bits_(length * 8) {}

    bool at_end() const { return position_ >= bits_; }
    int next_bit() {
        int bit = bytes_[position_ >> 3] >> (7 - (position_ & 7)) & 1;
        position_++;
        return bit;
    }
    bool read_byte(uint8_t& byte) {
        if (bits_ - position_ < 8) return false;
        unsigned value = 0;
        for (int i = 0; i < 8; i++)
            value = value << 1 | static_cast<unsigned>(next_bit());
        byte = static_cast<uint8_t>(value);
        return true;
    }

  private:
    const uint8_t* bytes_;
    size_t bits_;
    size_t position_ = 0;
};

}  // namespace

std::string decode(const CodeTable& table, const uint8_t* bytes, size_t length) {
    std::string out;
    if (!bytes || length == 0) return out;
    BitReader reader(bytes, length);
    Symbol context = Symbol::make_special(Symbol::START);
    for (;;) {
        const Node* node = table.root(context);
        if (!node) return out;
        // The root's own leaf is never used: every code is at least one bit long, which is what
        // bounds the loop by the number of input bits.
        do {
            if (reader.at_end()) return out;
            node = node->child[reader.next_bit()].get();
            if (!node) return out;
        } while (!node->leaf);
        const Symbol& symbol = *node->leaf;
        if (!symbol.special) {
            out += static_cast<char>(symbol.character);
            context = symbol;
            continue;
        }
        switch (symbol.kind) {
            case Symbol::STOP:
                return out;
            case Symbol::START:
                context = symbol;
                break;
            case Symbol::ESCAPE: {
                // Raw bytes follow at the current bit position until one below 0x80, which
                // becomes the next context. An escaped NUL is the encoder's end of text: it
                // never belongs to a DVB string.
                uint8_t byte;
                do {
                    if (!reader.read_byte(byte) || byte == 0) return out;
                    out += static_cast<char>(byte);
                } while (byte >= 0x80);
                context = Symbol::ordinary(byte);
                break;
            }
            default:
                return out;
        }
    }
}

}  // namespace Corvid::Capture::Huffman
