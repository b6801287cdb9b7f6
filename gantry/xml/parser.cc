#include "gantry/xml/parser.h"

#include <algorithm>
#include <cstdint>
#include <istream>
#include <ostream>
#include <utility>
#include <vector>

#include "gantry/text/text.h"

namespace Gantry::XML {

namespace {

// Character classes, one table lookup per byte on the hot paths.
enum : uint8_t {
    NAME_START = 1,  // ASCII letter, digit, '_', ':'
    NAME = 2,        // ASCII letter, digit, '-', ':', '.', '_'
    SPACE = 4,       // space, tab, newline, carriage return, form feed, vertical tab
    TEXT_STOP = 8,   // ends a plain run of character data: '<', '&' and whitespace
    ATTR_STOP = 16,  // ends a plain run of an attribute value: '&', newline and both quotes
    KEEP_STOP = 32,  // ends a plain run of verbatim character data: '<', '&', newline
};

struct CharClasses {
    uint8_t bits[256] = {};
    constexpr CharClasses() {
        for (int c = 0; c < 256; c++) {
            bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (alnum || c == '_' || c == ':') bits[c] |= NAME_START;
            if (alnum || c == '_' || c == ':' || c == '-' || c == '.') bits[c] |= NAME;
        }
        for (char c : {' ', '\t', '\n', '\r', '\f', '\v'})
            bits[static_cast<uint8_t>(c)] |= SPACE | TEXT_STOP;
        for (char c : {'<', '&'})
            bits[static_cast<uint8_t>(c)] |= TEXT_STOP | KEEP_STOP;
        bits[static_cast<uint8_t>('\n')] |= KEEP_STOP | ATTR_STOP;
        for (char c : {'&', '"', '\''})
            bits[static_cast<uint8_t>(c)] |= ATTR_STOP;
    }
};
constexpr CharClasses classes;

inline bool has(int c, uint8_t bit) {
    return c >= 0 && (classes.bits[c] & bit);
}
inline bool has(char c, uint8_t bit) {
    return classes.bits[static_cast<uint8_t>(c)] & bit;
}

constexpr int end_of_input = -1;
// Largest block taken from a stream at once.
constexpr size_t block_size = 1 << 18;

}  // namespace

// One document's worth of parsing state. Input is a window [p_, end_) over either the caller's
// string or a block read from the stream; the parser never needs to step back further than the
// character it has just read, so a block can be replaced as soon as it is used up.
class ParserRun {
  public:
    ParserRun(Parser& parser, std::istream* in, std::string_view text)
        : parser_(parser),
          flags_(parser.flags_),
          in_(in),
          p_(text.data()),
          end_(text.data() + text.size()),
          line_(parser.line_) {}

    ~ParserRun() {
        parser_.line_ = line_;
        try {
            give_back();
        } catch (...) {
            // A stream buffer that throws on seeking keeps what it lost; the parse stands.
        }
    }

    void run();

  private:
    struct Frame {
        Element* element;
        size_t scope_mark;  // bindings_ size before this element's declarations
        // FOLD_TEXT shortcut: the element's only child so far is text, kept straight in its
        // content rather than in a text node that closing would fold away.
        bool text_in_content;
    };

    // ---- input

    bool refill();
    void give_back();

    int peek() {
        if (p_ == end_ && !refill()) return end_of_input;
        return static_cast<uint8_t>(*p_);
    }
    int get() {
        int c = peek();
        if (c >= 0) {
            ++p_;
            if (c == '\n') ++line_;
        }
        return c;
    }
    // Only straight after a get() that returned c.
    void unget(int c) {
        if (c < 0) return;
        --p_;
        if (c == '\n') --line_;
    }
    void skip_space();

    // ---- errors

    [[noreturn]] void fatal(std::string_view message);
    void error(std::string_view message);

    // ---- grammar

    void read_name(std::string& out);
    bool start_tag();
    bool end_tag();
    void skip_processing_instruction();
    void skip_markup_declaration();
    void character_data(bool literal_lt);
    void read_attribute_value(std::string& out, int quote);
    void reference(std::string& out);

    // ---- tree

    void add_text(std::string& text);
    void unfold(Frame& frame);
    void close(const Frame& frame);
    void map_names(Element& e);
    const std::string* namespace_uri(std::string_view prefix) const;

    Parser& parser_;
    const unsigned flags_;
    std::istream* in_;
    std::vector<char> block_;
    const char* p_;
    const char* end_;
    bool input_done_ = false;
    int line_;
    std::vector<Frame> stack_;
    std::vector<std::pair<std::string, std::string>> bindings_;  // prefix, URI; innermost last
    std::string text_;
    std::string name_;    // tag and attribute names
    std::string entity_;  // entity names, read while an attribute name is still in use
};

// ---- input

bool ParserRun::refill() {
    if (!in_ || input_done_) return false;
    std::streambuf* buf = in_->rdbuf();
    if (!buf || !in_->good()) {
        input_done_ = true;
        return false;
    }
    // Take only what the stream has ready (a string or a file has it all, a socket what has
    // arrived), so that reading never waits for data beyond the end of the document.
    std::streamsize ready = buf->in_avail();
    if (ready <= 0) {
        if (ready < 0 || std::istream::traits_type::eq_int_type(buf->sgetc(),
                                                                std::istream::traits_type::eof())) {
            input_done_ = true;
            in_->setstate(std::ios::eofbit);
            return false;
        }
        ready = std::max<std::streamsize>(buf->in_avail(), 1);
    }
    size_t want = std::min(static_cast<size_t>(ready), block_size);
    block_.resize(want);
    std::streamsize got = buf->sgetn(block_.data(), static_cast<std::streamsize>(want));
    if (got <= 0) {
        input_done_ = true;
        in_->setstate(std::ios::eofbit);
        return false;
    }
    p_ = block_.data();
    end_ = p_ + got;
    return true;
}

void ParserRun::give_back() {
    if (!in_ || p_ == end_) return;
    std::streambuf* buf = in_->rdbuf();
    auto unread = static_cast<std::streamoff>(end_ - p_);
    if (buf->pubseekoff(-unread, std::ios::cur, std::ios::in) != std::streampos(-1)) {
        in_->clear(in_->rdstate() & ~std::ios::eofbit);
        return;
    }
    for (const char* c = end_; c != p_; --c)
        if (std::istream::traits_type::eq_int_type(buf->sputbackc(c[-1]),
                                                   std::istream::traits_type::eof()))
            return;
}

void ParserRun::skip_space() {
    for (;;) {
        while (p_ < end_ && has(*p_, SPACE)) {
            if (*p_ == '\n') ++line_;
            ++p_;
        }
        if (p_ < end_ || !refill()) return;
    }
}

// ---- errors

void ParserRun::fatal(std::string_view message) {
    // Leave the partial tree as a character-at-a-time reader would have built it.
    for (Frame& frame : stack_)
        unfold(frame);
    parser_.error_count_++;
    *parser_.errors_ << "XML Fatal Error: " << message << " at line " << line_ << '\n';
    throw ParseFailed();
}

void ParserRun::error(std::string_view message) {
    parser_.error_count_++;
    *parser_.errors_ << "XML Error: " << message << " at line " << line_ << '\n';
}

// ---- grammar

void ParserRun::run() {
    bool keep_whitespace = flags_ & Parser::KEEP_WHITESPACE;
    for (;;) {
        bool have_root = parser_.root_ != nullptr;
        if (!have_root || !keep_whitespace) skip_space();
        int c = get();
        if (c == end_of_input)
            fatal(have_root ? "Input stream failed unexpectedly" : "Empty or unreadable document");
        if (c != '<') {
            if (!have_root) fatal("Non-tag data at start of document");
            unget(c);
            character_data(false);
            continue;
        }
        int d = get();
        if (d == '/') {
            int first = get();
            if (!has(first, NAME_START)) fatal("Illegal end tag");
            unget(first);
            if (end_tag()) return;
        } else if (d == '?') {
            skip_processing_instruction();
        } else if (d == '!') {
            skip_markup_declaration();
        } else if (has(d, NAME_START)) {
            unget(d);
            if (start_tag()) return;
        } else if (flags_ & Parser::LENIENT) {
            unget(d);
            if (!have_root) fatal("Non-tag data at start of document");
            character_data(true);
        } else {
            fatal("Illegal tag");
        }
    }
}

void ParserRun::read_name(std::string& out) {
    out.clear();
    for (;;) {
        const char* start = p_;
        while (p_ < end_ && has(*p_, NAME))
            ++p_;
        out.append(start, p_);
        if (p_ < end_ || !refill()) return;
    }
}

// At the first character of the name; returns true when this empty-element tag completed the
// document.
bool ParserRun::start_tag() {
    if (stack_.size() >= Parser::max_depth)
        fatal("Elements nested deeper than " + std::to_string(Parser::max_depth) + " levels");
    auto element = std::make_unique<Element>();
    element->line_ = line_;
    read_name(element->name_);

    auto check_separator = [this] {
        int c = peek();
        if (c != '/' && c != '>' && !has(c, SPACE)) fatal("Illegal start tag");
    };
    check_separator();
    bool empty = false;
    for (;;) {
        skip_space();
        int c = get();
        if (c == '/') {
            if (get() != '>') fatal("Illegal empty close");
            empty = true;
            break;
        }
        if (c == '>') break;
        if (!has(c, NAME_START)) fatal("Illegal attribute name");
        unget(c);
        read_name(name_);
        if (element->attrs_.find(name_)) fatal("Duplicate attribute name");
        skip_space();
        if (get() != '=') fatal("No = given for attribute");
        skip_space();
        int quote = get();
        if (quote != '"' && quote != '\'') fatal("Attribute value not quoted");
        std::string value;
        read_attribute_value(value, quote);
        element->attrs_.set(name_, std::move(value));
        check_separator();
    }

    Element* e = element.get();
    if (stack_.empty()) {
        parser_.root_ = std::move(element);
    } else {
        Frame& parent = stack_.back();
        unfold(parent);
        e->parent_ = parent.element;
        parent.element->children_.push_back(std::move(element));
    }
    Frame frame{e, bindings_.size(), false};
    if (flags_ & Parser::MAP_NAMESPACES) {
        for (const auto& [name, value] : e->attrs_) {
            if (name == "xmlns")
                bindings_.emplace_back("", value);
            else if (name.starts_with("xmlns:"))
                bindings_.emplace_back(name.substr(6), value);
        }
    }
    if (empty) {
        close(frame);
        return stack_.empty();
    }
    stack_.push_back(frame);
    return false;
}

// At the first character of the name; returns true when this end tag completed the document.
bool ParserRun::end_tag() {
    read_name(name_);
    skip_space();
    if (get() != '>') {
        // Reported by the exception alone.
        parser_.error_count_++;
        throw ParseFailed();
    }
    if (stack_.empty()) {
        // Before any root (once the root closes, reading has stopped): the document goes on.
        error("End-tag found but no elements open");
        return false;
    }
    const Element& open = *stack_.back().element;
    if (name_ != open.name_) {
        error("Mis-nested tags - expected </" + open.name_ + ">, opened at line " +
              std::to_string(open.line_) + ", but got </" + name_ + ">");
        return false;
    }
    Frame frame = stack_.back();
    stack_.pop_back();
    close(frame);
    return stack_.empty();
}

void ParserRun::skip_processing_instruction() {
    int previous = 0;
    for (;;) {
        int c = get();
        if (c == end_of_input) fatal("Unexpected end-of-file in PI");
        if (c == '>' && previous == '?') return;
        previous = c;
    }
}

// After "<!": a comment, or a construct (DOCTYPE, CDATA) skipped to the next '>'.
void ParserRun::skip_markup_declaration() {
    int c = get();
    if (c == '-') {
        c = get();
        if (c == '-') {
            int hyphens = 0;
            for (;;) {
                c = get();
                if (c == end_of_input) fatal("Unexpected end-of-file in comment");
                if (c == '>' && hyphens >= 2) return;
                hyphens = c == '-' ? hyphens + 1 : 0;
            }
        }
        error("Weird comment");
    }
    while (c != '>') {
        if (c == end_of_input) fatal("Unexpected end-of-file");
        c = get();
    }
}

// At the first character of the text (after a literal '<' when literal_lt).
void ParserRun::character_data(bool literal_lt) {
    const bool keep = flags_ & Parser::KEEP_WHITESPACE;
    const uint8_t stop = keep ? KEEP_STOP : TEXT_STOP;
    std::string& text = text_;
    text.clear();
    if (literal_lt) text += '<';
    for (;;) {
        const char* start = p_;
        while (p_ < end_ && !has(*p_, stop))
            ++p_;
        text.append(start, p_);
        if (p_ == end_) {
            if (!refill()) fatal("Unexpected end of stream");
            continue;
        }
        char c = *p_;
        if (c == '<') break;
        ++p_;
        if (c == '&') {
            reference(text);
            continue;
        }
        if (c == '\n') ++line_;
        if (keep) {
            text += c;
            continue;
        }
        skip_space();
        int next = peek();
        if (next == end_of_input) fatal("Unexpected end of stream");
        if (next == '<') break;  // trailing whitespace goes
        text += ' ';
    }
    add_text(text);
}

void ParserRun::read_attribute_value(std::string& out, int quote) {
    for (;;) {
        const char* start = p_;
        while (p_ < end_ && !has(*p_, ATTR_STOP))
            ++p_;
        out.append(start, p_);
        if (p_ == end_) {
            if (!refill()) fatal("Document ended in attribute value");
            continue;
        }
        char c = *p_++;
        if (c == quote) return;
        if (c == '&') {
            reference(out);
            continue;
        }
        if (c == '\n') ++line_;
        out += c;
    }
}

namespace {

int digit_value(int c, int base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// After '&'.
void ParserRun::reference(std::string& out) {
    int c = get();
    if (c == '#') {
        int base = 10;
        c = get();
        if (c == 'x') {
            base = 16;
            c = get();
        }
        uint32_t code = 0;
        bool any = false;
        for (int v; (v = digit_value(c, base)) >= 0; c = get()) {
            any = true;
            // Saturate just past the Unicode range, so long digit strings cannot overflow.
            code = std::min<uint32_t>(code * base + v, 0x110000);
        }
        // A NUL, a UTF-16 surrogate or a value past U+10FFFF has no UTF-8 form.
        if (!any || c != ';' || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
            fatal("Malformed character reference");
        Text::append_utf8(out, code);
        return;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        unget(c);
        read_name(entity_);
        if (get() != ';') fatal("Malformed entity reference");
        if (entity_ == "lt")
            out += '<';
        else if (entity_ == "gt")
            out += '>';
        else if (entity_ == "amp")
            out += '&';
        else if (entity_ == "apos")
            out += '\'';
        else if (entity_ == "quot")
            out += '"';
        else
            fatal("Unrecognised entity name");
        return;
    }
    if (!(flags_ & Parser::LENIENT)) fatal("Weird reference - unescaped '&'?");
    out += '&';
    unget(c);
}

// ---- tree

void ParserRun::add_text(std::string& text) {
    Frame& frame = stack_.back();
    Element& e = *frame.element;
    const char* separator = flags_ & Parser::KEEP_WHITESPACE ? "" : " ";
    if (frame.text_in_content) {
        e.content_ += separator;
        e.content_ += text;
    } else if (!e.children_.empty() && e.children_.back()->is_text()) {
        std::string& last = e.children_.back()->content_;
        last += separator;
        last += text;
    } else if (e.children_.empty() && (flags_ & Parser::FOLD_TEXT)) {
        e.content_ = text;
        frame.text_in_content = true;
    } else {
        auto node = std::make_unique<Element>(std::string(), text);
        node->parent_ = &e;
        e.children_.push_back(std::move(node));
    }
}

// Turns text held in the content back into the text node it stands for, before a second child
// arrives (or when the partial tree is left behind by an error).
void ParserRun::unfold(Frame& frame) {
    if (!frame.text_in_content) return;
    Element& e = *frame.element;
    auto node = std::make_unique<Element>(std::string(), std::move(e.content_));
    e.content_.clear();
    node->parent_ = &e;
    e.children_.insert(e.children_.begin(), std::move(node));
    frame.text_in_content = false;
}

void ParserRun::close(const Frame& frame) {
    Element& e = *frame.element;
    if ((flags_ & Parser::FOLD_TEXT) && !frame.text_in_content && e.children_.size() == 1 &&
        e.children_[0]->is_text()) {
        e.content_ = std::move(e.children_[0]->content_);
        e.children_.clear();
    }
    if (flags_ & Parser::MAP_NAMESPACES) {
        map_names(e);
        bindings_.resize(frame.scope_mark);
    }
}

const std::string* ParserRun::namespace_uri(std::string_view prefix) const {
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it)
        if (it->first == prefix) return &it->second;
    return nullptr;
}

void ParserRun::map_names(Element& e) {
    const auto& fixed = parser_.fixed_prefixes_;
    if (fixed.empty()) return;
    // The fixed form of a name, or null to leave it alone.
    auto mapped = [&](const std::string& name, bool element, std::string& out) {
        size_t colon = name.find(':');
        if (colon == std::string::npos && !element) return false;
        std::string_view prefix = colon == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(name).substr(0, colon);
        const std::string* uri = namespace_uri(prefix);
        if (!uri) return false;
        auto it = fixed.find(*uri);
        if (it == fixed.end()) return false;
        std::string_view local = colon == std::string::npos
                                     ? std::string_view(name)
                                     : std::string_view(name).substr(colon + 1);
        // Without a prefix the local part must stand as a name on its own ("p:-x" cannot).
        if (it->second.empty() && (local.empty() || !has(local[0], NAME_START))) return false;
        out = it->second;
        if (!out.empty()) out += ':';
        out += local;
        return true;
    };
    std::string renamed;
    if (mapped(e.name_, true, renamed)) e.name_ = renamed;
    bool any = false;
    for (const auto& entry : e.attrs_)
        if (entry.first.find(':') != std::string::npos) any = true;
    if (!any) return;
    // Renaming can reorder the names, and two may meet (the later in the old order wins).
    Attributes attrs;
    for (const auto& [name, value] : e.attrs_)
        attrs.set(mapped(name, false, renamed) ? renamed : name, value);
    e.attrs_ = std::move(attrs);
}

// ---- Parser

Parser::Parser(std::ostream& errors, unsigned flags) : errors_(&errors), flags_(flags) {}

Parser::~Parser() = default;

void Parser::map_namespace(std::string uri, std::string prefix) {
    fixed_prefixes_[std::move(uri)] = std::move(prefix);
    flags_ |= MAP_NAMESPACES;
}

Element& Parser::read(std::istream& in) {
    root_.reset();
    ParserRun(*this, &in, {}).run();
    return root();
}

Element& Parser::read(std::string_view text) {
    root_.reset();
    ParserRun(*this, nullptr, text).run();
    return root();
}

void Parser::replace_root(std::unique_ptr<Element> root) {
    root_ = std::move(root);
}

}  // namespace Gantry::XML
