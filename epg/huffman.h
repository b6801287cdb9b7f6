// Context-dependent Huffman text compression of DVB text fields (the 0x1F marker byte followed by
// a table id): code tables read from mapping files, and the decoder.
//
// Mapping file: one "from:bits:to" line per code, optionally with one trailing colon. from and to
// are "START", "STOP", "ESCAPE", "0xNN" (a byte in hex, used for ':' and control bytes) or a plain
// character. In context from (the previously decoded character, or START), the bit string
// decodes to to. The first line that does not split into three non-empty symbol fields, a line of
// 256 characters or more, and a last line without its line feed end the file.
//
// Threading: tables are filled once, before the decoders start, and only read afterwards; any
// number of threads may decode with the same tables at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Corvid::Capture::Huffman {

struct Symbol {
    enum Kind : uint32_t { ORDINARY = 0, START = 1, STOP = 2, ESCAPE = 3 };

    uint8_t character = 0;
    uint32_t kind = ORDINARY;
    bool special = false;
    bool valid = false;  // false only for the empty symbol

    static Symbol ordinary(uint8_t character) { return {character, ORDINARY, false, true}; }
    static Symbol make_special(Kind kind) { return {0, kind, true, true}; }
    // Parses one symbol field of a mapping line; an empty field gives the invalid symbol.
    static Symbol parse(std::string_view field);

    // Ordinary symbols sort by character, before every special one; special ones by kind.
    friend bool operator<(const Symbol& a, const Symbol& b) {
        if (a.special != b.special) return b.special;
        return a.special ? a.kind < b.kind : a.character < b.character;
    }
    friend bool operator==(const Symbol& a, const Symbol& b) {
        return a.valid == b.valid && a.special == b.special &&
               (a.special ? a.kind == b.kind : a.character == b.character);
    }
    std::string to_string() const;  // the mapping-file spelling
};

// One node of a context's code tree. A leaf symbol ends a code; children continue it.
struct Node {
    std::unique_ptr<Node> child[2];
    std::optional<Symbol> leaf;
};

// The code trees of one table id, one per context symbol.
class CodeTable {
  public:
    enum class AddResult { ADDED, DUPLICATE, CONFLICT };

    // Adds one code: in context from, bits ('0' is a 0 bit, any other character a 1 bit) decode
    // to to. A code already mapped to the same symbol is a DUPLICATE and changes nothing; one
    // mapped to another symbol, or one that is a prefix of another code (so that one of the two
    // can never be decoded), is a CONFLICT: the new mapping replaces the old one all the same.
    AddResult add(const Symbol& from, std::string_view bits, const Symbol& to);

    // Root of the tree for a context, or null.
    const Node* root(const Symbol& context) const { return roots_[index(context)]; }
    const std::map<Symbol, Node>& contexts() const { return contexts_; }
    bool empty() const { return contexts_.empty(); }

  private:
    // 256 characters, then START, STOP and ESCAPE: a direct index for the decoder's look-ups.
    static size_t index(const Symbol& s) { return s.special ? 256 + (s.kind & 3) : s.character; }

    std::map<Symbol, Node> contexts_;
    std::array<const Node*, 260> roots_{};  // into contexts_ (map nodes never move)
};

using TableSet = std::map<uint8_t, CodeTable>;

// What read_table met in one file.
struct ReadStats {
    size_t mappings = 0;         // lines read as mappings
    size_t duplicates = 0;       // exact repeats of an earlier mapping (harmless)
    size_t conflicts = 0;        // repeats with a different meaning (the later one wins)
    std::string first_conflict;  // the first conflicting line, for the log
};

// Adds every mapping of one mapping file to table. Returns false when the input held no mapping
// at all (an empty or unreadable file), true otherwise.
bool read_table(CodeTable& table, std::istream& in, ReadStats* stats = nullptr);

// Replaces the contents of tables with the mapping files named by pattern, a path whose leaf
// holds "%i" once, standing for the decimal table id (e.g. "/etc/corvid/freesat.t%i"). An empty
// pattern does nothing; a bad pattern or an unreadable folder is logged and leaves tables as they
// were. Files are read in name order; files naming the same id are merged.
void load_tables(TableSet& tables, const std::string& pattern);

// Decodes a compressed text body (the bytes after 0x1F and the table id) into the character bytes
// the table yields, as they are. Never reads outside [bytes, bytes + length) and always ends: every
// symbol consumes at least one bit. Text that does not fit the table yields what was decoded
// before the mismatch. An escaped NUL byte ends the text (encoders write it as a terminator).
std::string decode(const CodeTable& table, const uint8_t* bytes, size_t length);

}  // namespace Corvid::Capture::Huffman
