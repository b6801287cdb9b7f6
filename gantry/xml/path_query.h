// XML::PathQuery: slash paths over an element tree, as used for settings
// ("captures/save/@interval").
//
// A path is relative to the root (whose own name is not part of it); leading, trailing and
// doubled '/' are ignored and the empty path is the root. Each step is a child name with an
// optional 1-based index in brackets ("event[3]"). A step without an index means the first child
// of that name, except the last step, which then selects every child of that name. A final
// "@name" (split at the last '@') names an attribute of the element the path before it selects.
//
// The query does not own the tree, which must outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gantry/xml/element.h"

namespace Gantry::XML {

class PathQuery {
  public:
    explicit PathQuery(Element& root) : root_(&root) {}

    // Every match; empty if any step fails.
    std::vector<Element*> get_elements(std::string_view path) const;
    // The first match, or null.
    Element* get_element(std::string_view path) const;

    // The get_content of the first match, or with "@" the attribute; def when either is absent.
    std::string get_value(std::string_view path, std::string_view def = {}) const;
    // These give def also when the value is present but empty.
    int get_value_int(std::string_view path, int def = 0) const;
    unsigned get_value_hex(std::string_view path, unsigned def = 0) const;
    uint64_t get_value_int64(std::string_view path, uint64_t def = 0) const;
    uint64_t get_value_hex64(std::string_view path, uint64_t def = 0) const;
    // True when the value starts with 'T', 't', 'Y' or 'y'.
    bool get_value_bool(std::string_view path, bool def = false) const;
    double get_value_real(std::string_view path, double def = 0.0) const;

    // Sets the content of the first match, or with "@" the attribute. False, changing nothing,
    // when the element does not exist.
    bool set_value(std::string_view path, std::string_view text);
    bool set_value_int(std::string_view path, int value);
    bool set_value_hex(std::string_view path, unsigned value);
    bool set_value_int64(std::string_view path, uint64_t value);
    bool set_value_hex64(std::string_view path, uint64_t value);
    bool set_value_real(std::string_view path, double value);
    bool set_value_bool(std::string_view path, bool value);  // "yes" / "no"

    // Deletes every match; false if there were none. The root itself is never deleted.
    bool delete_elements(std::string_view path);
    // Appends element to the first match; false (dropping element) if there is none.
    bool add_element(std::string_view path, std::unique_ptr<Element> element);
    // Appends an empty child to the first match; null if there is none.
    Element* add_element(std::string_view path, std::string_view name);
    // Puts element in place of the first match, which is deleted; false (dropping element) if
    // there is none or it is the root.
    bool replace_element(std::string_view path, std::unique_ptr<Element> element);
    // The first match, creating each missing element along the path; none if the root is none.
    Element& ensure_path(std::string_view path);

  private:
    Element* root_;
};

}  // namespace Gantry::XML
