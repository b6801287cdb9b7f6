// Writing an element tree as text: two spaces of indent per level, one element per line, text
// nodes unindented. The walk keeps its own stack so that the depth of the tree never reaches the
// machine stack.
#include <ostream>

#include "gantry/xml/element.h"

namespace Gantry::XML {

namespace {

// '&', '<' and '>' always; the double quote only inside a double-quoted attribute value that also
// holds apostrophes (the only case where it would end the value). Apostrophes never.
void append_escaped(std::string& out, std::string_view text, bool escape_quote) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const char* replacement;
        switch (text[i]) {
            case '&':
                replacement = "&amp;";
                break;
            case '<':
                replacement = "&lt;";
                break;
            case '>':
                replacement = "&gt;";
                break;
            case '"':
                if (!escape_quote) continue;
                replacement = "&quot;";
                break;
            default:
                continue;
        }
        out.append(text, start, i - start);
        out += replacement;
        start = i + 1;
    }
    out.append(text, start);
}

void append_attributes(std::string& out, const Attributes& attrs) {
    for (const auto& [name, value] : attrs) {
        bool has_double = value.find('"') != std::string::npos;
        bool has_single = value.find('\'') != std::string::npos;
        char quote = has_double && !has_single ? '\'' : '"';
        out += ' ';
        out += name;
        out += '=';
        out += quote;
        append_escaped(out, value, has_double && has_single);
        out += quote;
    }
}

void append_indent(std::string& out, size_t depth) {
    out.append(2 * depth, ' ');
}

// Writes the tree below root into out, handing full chunks to flush so that a large tree need not
// be held twice in memory.
template <typename Flush>
void write_tree(const Element& root, std::string& out, Flush flush) {
    constexpr size_t chunk = 1 << 16;
    struct Frame {
        const Element* element;
        size_t next;
    };
    std::vector<Frame> stack;
    auto open = [&](const Element& e) {
        size_t depth = stack.size();
        if (e.is_text()) {
            append_escaped(out, e.content(), false);
            out += '\n';
            return;
        }
        append_indent(out, depth);
        out += '<';
        out += e.name();
        append_attributes(out, e.attrs());
        if (!e.children().empty()) {
            out += ">\n";
            stack.push_back({&e, 0});
        } else if (!e.content().empty()) {
            out += '>';
            append_escaped(out, e.content(), false);
            out += "</";
            out += e.name();
            out += ">\n";
        } else {
            out += "/>\n";
        }
    };
    open(root);
    while (!stack.empty()) {
        if (out.size() >= chunk) flush();
        Frame& top = stack.back();
        if (top.next < top.element->children().size()) {
            open(*top.element->children()[top.next++]);
            continue;
        }
        const Element* done = top.element;
        stack.pop_back();
        append_indent(out, stack.size());
        out += "</";
        out += done->name();
        out += ">\n";
    }
}

constexpr std::string_view header = "<?xml version=\"1.0\"?>\n";

}  // namespace

void Element::write_to(std::ostream& out, bool with_header) const {
    std::string buffer;
    if (with_header) buffer += header;
    write_tree(*this, buffer, [&] {
        out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        buffer.clear();
    });
    out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
}

std::string Element::to_string(bool with_header) const {
    std::string out;
    if (with_header) out += header;
    write_tree(*this, out, [] {});
    return out;
}

}  // namespace Gantry::XML
