// XML::Parser: reads one document from a stream or a string into an Element tree, reporting
// errors with line numbers on an error stream.
//
// Every error writes one line to the error stream: "XML Error: <text> at line N" for the errors
// that parsing survives (odd comments, stray or mis-nested end tags), "XML Fatal Error: <text> at
// line N" for the rest, after which read throws ParseFailed. Documents nested deeper than
// max_depth elements are refused with a fatal error, so that neither a hostile request nor the
// code that walks the tree afterwards can exhaust the stack.
//
// Stream input is read in large blocks. When the document ends before the data read, the rest is
// handed back by seeking the stream (or, failing that, putting bytes back), so a seekable stream
// is left just after the root's end tag; on a stream that can do neither, bytes after the
// document may be consumed.
//
// Threading: one parser per thread; the parser owns its last root.
#pragma once

#include <cstddef>
#include <exception>
#include <iosfwd>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "gantry/xml/element.h"

namespace Gantry::XML {

// Thrown by Parser::read after a fatal error; the reason has already gone to the error stream.
class ParseFailed : public std::exception {
  public:
    const char* what() const noexcept override { return "XML parse failed"; }
};

class Parser {
  public:
    // Flag bits (their values are part of the interface).
    // FOLD_TEXT: an element whose only child is a text node takes that text as its content.
    static constexpr unsigned FOLD_TEXT = 1;
    // Character data verbatim, whitespace between tags kept as text nodes; without it each run of
    // whitespace becomes one space and trailing whitespace before a tag is dropped.
    static constexpr unsigned KEEP_WHITESPACE = 2;
    // Rewrite element and attribute prefixes by namespace URI (see map_namespace).
    static constexpr unsigned MAP_NAMESPACES = 4;
    // A '&' that starts no reference, and a '<' that starts no tag, are taken literally.
    static constexpr unsigned LENIENT = 8;

    // Deepest element nesting accepted; the root is level 1.
    static constexpr size_t max_depth = 1000;

    // errors must outlive the parser.
    explicit Parser(std::ostream& errors = std::cerr, unsigned flags = FOLD_TEXT);
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Names in the namespace uri are given this prefix, whatever prefix the document chose (an
    // empty prefix gives unprefixed names). Turns MAP_NAMESPACES on.
    void map_namespace(std::string uri, std::string prefix);

    // Deletes the previous root, then parses one document; nothing after the root's end is
    // parsed. Throws ParseFailed on a fatal error (the partial tree stays as root until the next
    // read). Returns the root.
    Element& read(std::istream& in);
    Element& read(std::string_view text);

    // The root of the last document, or Element::none.
    Element& root() const { return root_ ? *root_ : Element::none; }
    // Hands the root to the caller; null if there is none.
    std::unique_ptr<Element> detach_root() { return std::move(root_); }
    void replace_root(std::unique_ptr<Element> root);

    unsigned flags() const { return flags_; }
    void set_flags(unsigned flags) { flags_ = flags; }
    // Errors (fatal and not) since construction.
    int error_count() const { return error_count_; }
    // Line reached; counts on across documents read by the same parser.
    int line() const { return line_; }

  private:
    friend class ParserRun;

    std::ostream* errors_;
    unsigned flags_;
    int error_count_ = 0;
    int line_ = 1;
    std::unique_ptr<Element> root_;
    std::map<std::string, std::string, std::less<>> fixed_prefixes_;  // URI -> prefix
};

}  // namespace Gantry::XML
