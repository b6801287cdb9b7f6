// The mutable XML tree node used for configuration, requests, responses and state files.
//
// Ownership: an element owns its children; whoever holds the root owns the tree. Failed lookups
// return the shared Element::none rather than null, so lookups can be chained; test for failure
// by identity (&e == &Element::none).
//
// Depth: destroying, copying, searching and writing are iterative, so a tree of any depth (even
// one built in code, millions of levels deep) is safe on any thread's stack.
//
// Threading: a tree is not synchronised; share it read-only or guard it. Element::none is never
// changed (every mutator ignores it), so it may be read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Gantry::XML {

// Attributes of one element, kept sorted by name (the order in which they are written). A sorted
// vector: elements carry few attributes, and it costs far less to build than a node-based map.
class Attributes {
  public:
    using Entry = std::pair<std::string, std::string>;
    using const_iterator = std::vector<Entry>::const_iterator;

    // Null when absent.
    const std::string* find(std::string_view name) const;
    // Inserts or replaces; returns false when it replaced an existing value.
    bool set(std::string_view name, std::string value);
    bool erase(std::string_view name);
    void clear() { entries_.clear(); }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

  private:
    std::vector<Entry>::iterator lower_bound(std::string_view name);
    std::vector<Entry> entries_;
};

class Element {
  public:
    // The one element every failed lookup returns; its name is "!NONE!".
    static Element none;

    Element() = default;
    explicit Element(std::string name, std::string content = {});
    ~Element();

    // A node knows its parent, so copying or moving one by value would break the tree: use
    // deep_copy or copy_to.
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;

    // Tag name including any prefix ("env:Body"); empty for a text node.
    const std::string& name() const { return name_; }
    void set_name(std::string name);
    bool is_text() const { return name_.empty(); }

    // Character data of the element, or the text of a text node.
    const std::string& content() const { return content_; }
    void set_content(std::string content);

    // 1-based line of the start tag; 0 for elements built in code.
    int line() const { return line_; }
    void set_line(int line);

    Element* parent() const { return parent_; }
    const std::vector<std::unique_ptr<Element>>& children() const { return children_; }
    const Attributes& attrs() const { return attrs_; }

    // nth child of any kind (0-based), or none.
    Element& get_child(size_t n) const;
    // nth child with exactly this name (0-based), or none.
    Element& get_child(std::string_view name, size_t n = 0) const;
    std::vector<Element*> get_children(std::string_view name) const;
    // Pre-order depth-first: the first element below this one with the name, or none.
    Element& get_descendant(std::string_view name) const;
    // Every element below this one with the name, in document order. The subtree of an element
    // named prune is not searched (the element itself is still collected if it matches).
    std::vector<Element*> get_descendants(std::string_view name, std::string_view prune = {}) const;
    // The first child with the name, appended empty if there is none.
    Element& make_child(std::string_view name);

    // The content if non-empty; else each direct text child's text followed by a newline.
    std::string get_content() const;

    std::string get_attr(std::string_view name, std::string_view def = {}) const;
    // Leading decimal digits; text that is not a number gives 0.
    int get_attr_int(std::string_view name, int def = 0) const;
    int64_t get_attr_int64(std::string_view name, int64_t def = 0) const;
    // Present and empty: false; else true when it starts with 'Y', 'y', 'T', 't' or '1'.
    bool get_attr_bool(std::string_view name, bool def = false) const;
    double get_attr_real(std::string_view name, double def = 0.0) const;
    bool has_attr(std::string_view name) const { return attrs_.find(name) != nullptr; }

    void set_attr(std::string_view name, std::string value);
    void set_attr_int(std::string_view name, int value);
    void set_attr_int64(std::string_view name, int64_t value);
    void set_attr_real(std::string_view name, double value);
    void set_attr_bool(std::string_view name, bool value);  // "true" / "false"
    bool remove_attr(std::string_view name);

    // Appends an owned child (taken from its previous parent if it has one) and returns it. Adding
    // to none drops the child and returns none.
    Element& add(std::unique_ptr<Element> child);
    Element& add(std::string name, std::string content = {});
    // Deletes every child.
    void clear_children();

    // Removes this element from its parent and hands it to the caller; null without a parent.
    std::unique_ptr<Element> detach();
    // Puts other where this element is in its parent's list and returns this element, detached
    // and owned by the caller. Without a parent nothing changes, other is dropped and the result
    // is null. Adding an element below its own descendant (either way) is refused: the element
    // is let go, not deleted, since its tree still holds the caller's element.
    std::unique_ptr<Element> replace_with(std::unique_ptr<Element> other);

    // A parentless copy of name, content, line, attributes and every descendant.
    std::unique_ptr<Element> deep_copy() const;
    // Makes target a copy of this element (its previous attributes and children are replaced);
    // target keeps its own parent. Target may lie inside this tree or contain it.
    void copy_to(Element& target) const;
    // Sets every attribute of other here (overwriting) and appends copies of other's children.
    void merge(const Element& other);
    // Parses text with a fresh parser (flags as Parser's) and merges its root into this element.
    // Parse errors go to errors; a root whose name differs from this element's is refused with
    // "Wrong root name in merged XML: ...". False on either failure, leaving this element as it
    // was.
    bool merge_xml(std::string_view text, std::ostream& errors = std::cerr, unsigned flags = 1);

    // Two-space indented text, one element per line; with_header puts <?xml version="1.0"?> first.
    void write_to(std::ostream& out, bool with_header = false) const;
    std::string to_string(bool with_header = false) const;

  private:
    friend class ParserRun;

    bool is_none() const { return this == &none; }
    // Whether making child a child of this element would put an element inside itself.
    bool would_cycle(const Element& child) const;
    size_t index_in_parent() const;

    std::string name_;
    std::string content_;
    Attributes attrs_;
    std::vector<std::unique_ptr<Element>> children_;
    Element* parent_ = nullptr;
    int line_ = 0;
};

std::ostream& operator<<(std::ostream& out, const Element& element);

}  // namespace Gantry::XML
