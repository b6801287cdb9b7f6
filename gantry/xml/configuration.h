// XML::Configuration: an XML file used as a settings store. Reads the first candidate file that
// opens, checks the root element's name, answers typed path queries (see PathQuery) with
// defaults, and writes the tree back through "<file>~new" and a rename, so a reader of the file
// sees either all of the old content or all of the new.
//
// Failures give a false result and one line on the error stream; nothing is thrown.
//
// A read that fails, at any stage, keeps the tree from before it: a configuration re-read on
// SIGHUP that turns out broken leaves the working one in place. Before the first successful read
// the root is Element::none.
//
// Threading: not synchronised; one owner.
#pragma once

#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gantry/xml/element.h"
#include "gantry/xml/parser.h"
#include "gantry/xml/path_query.h"

namespace Gantry::XML {

class Configuration {
  public:
    // Reads nothing yet. errors must outlive the configuration; flags are the parser's.
    explicit Configuration(std::string file_name, std::ostream& errors = std::cerr,
                           unsigned flags = Parser::FOLD_TEXT);
    explicit Configuration(std::vector<std::string> file_names, std::ostream& errors = std::cerr,
                           unsigned flags = Parser::FOLD_TEXT);
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

    // Reading tries the candidates in order; writing always uses the first.
    void add_file_name(std::string file_name);
    const std::vector<std::string>& file_names() const { return file_names_; }

    // Parses the first candidate that opens. An empty root_name accepts any root. False without
    // a message when no candidate opens (the caller says what it was looking for).
    bool read(std::string_view root_name);
    bool read_text(std::string_view text, std::string_view root_name);
    // Reads again, expecting the current root's name (any name if nothing was read yet).
    bool reload();

    Element& root() const { return root_ ? *root_ : Element::none; }
    // Installs a new empty root (to build a state file from scratch) and returns it.
    Element& replace_root(std::string name);

    std::string get_value(std::string_view path, std::string_view def = {}) const;
    int get_value_int(std::string_view path, int def = 0) const;
    unsigned get_value_hex(std::string_view path, unsigned def = 0) const;
    uint64_t get_value_int64(std::string_view path, uint64_t def = 0) const;
    uint64_t get_value_hex64(std::string_view path, uint64_t def = 0) const;
    bool get_value_bool(std::string_view path, bool def = false) const;
    double get_value_real(std::string_view path, double def = 0.0) const;
    Element* get_element(std::string_view path) const;
    std::vector<Element*> get_elements(std::string_view path) const;
    // get_content of every element matching the path.
    std::vector<std::string> get_values(std::string_view path) const;
    // Key attribute value -> content, for every match that carries the key attribute.
    std::map<std::string, std::string> get_map(std::string_view path,
                                               std::string_view key_attr) const;

    bool set_value(std::string_view path, std::string_view text);
    bool set_value_int(std::string_view path, int value);
    bool set_value_hex(std::string_view path, unsigned value);
    bool set_value_int64(std::string_view path, uint64_t value);
    bool set_value_hex64(std::string_view path, uint64_t value);
    bool set_value_real(std::string_view path, double value);
    bool set_value_bool(std::string_view path, bool value);
    bool delete_elements(std::string_view path);
    bool add_element(std::string_view path, std::unique_ptr<Element> element);
    Element* add_element(std::string_view path, std::string_view name);
    bool replace_element(std::string_view path, std::unique_ptr<Element> element);
    Element& ensure_path(std::string_view path);

    // Writes the tree to the first candidate through "<name>~new" and a rename; the new file
    // keeps the old one's permissions. On failure the real file is untouched.
    bool write();

  private:
    PathQuery query() const { return PathQuery(root()); }
    // Shared by read and read_text: parses, checks the root, and installs the tree on success.
    bool parse(auto&& input, std::string_view root_name, std::string_view what);

    std::vector<std::string> file_names_;
    std::ostream* errors_;
    unsigned flags_;
    std::unique_ptr<Element> root_;
};

}  // namespace Gantry::XML
