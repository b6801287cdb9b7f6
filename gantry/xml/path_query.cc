#include "gantry/xml/path_query.h"

#include <algorithm>
#include <locale>
#include <sstream>
#include <unordered_set>

#include "gantry/text/text.h"

namespace Gantry::XML {

namespace {

struct Step {
    std::string_view name;
    size_t index;  // 1-based; 0 when none was given
    bool valid;
};

// Splits at '/', skipping empty steps.
std::vector<std::string_view> split_steps(std::string_view path) {
    std::vector<std::string_view> steps;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) steps.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return steps;
}

Step parse_step(std::string_view text) {
    size_t bracket = text.find('[');
    if (bracket == std::string_view::npos) return {text, 0, !text.empty()};
    std::string_view digits = text.substr(bracket + 1);
    if (digits.empty() || digits.back() != ']') return {text, 0, false};
    digits.remove_suffix(1);
    size_t index = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || index > 100000000) return {text, 0, false};
        index = index * 10 + static_cast<size_t>(c - '0');
    }
    // "[0]" and "[]" select nothing.
    return {text.substr(0, bracket), index, bracket > 0 && !digits.empty() && index > 0};
}

// Splits "path/@attr" at the last '@'; attr is empty (and has_attr false) without one.
struct AttrPath {
    std::string_view elements;
    std::string_view attr;
    bool has_attr;
};

AttrPath split_attr(std::string_view path) {
    size_t at = path.rfind('@');
    if (at == std::string_view::npos) return {path, {}, false};
    return {path.substr(0, at), path.substr(at + 1), true};
}

template <typename T>
std::string stream_format(T value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

}  // namespace

std::vector<Element*> PathQuery::get_elements(std::string_view path) const {
    std::vector<std::string_view> steps = split_steps(path);
    if (steps.empty()) return {root_};
    Element* current = root_;
    for (size_t i = 0; i < steps.size(); i++) {
        Step step = parse_step(steps[i]);
        if (!step.valid) return {};
        bool last = i + 1 == steps.size();
        if (last && step.index == 0) return current->get_children(step.name);
        Element& next = current->get_child(step.name, step.index == 0 ? 0 : step.index - 1);
        if (&next == &Element::none) return {};
        current = &next;
    }
    return {current};
}

Element* PathQuery::get_element(std::string_view path) const {
    std::vector<Element*> found = get_elements(path);
    return found.empty() ? nullptr : found.front();
}

std::string PathQuery::get_value(std::string_view path, std::string_view def) const {
    AttrPath split = split_attr(path);
    Element* e = get_element(split.elements);
    if (!e) return std::string(def);
    if (!split.has_attr) return e->get_content();
    return e->get_attr(split.attr, def);
}

int PathQuery::get_value_int(std::string_view path, int def) const {
    std::string value = get_value(path);
    return value.empty() ? def : Text::parse_int(value);
}

unsigned PathQuery::get_value_hex(std::string_view path, unsigned def) const {
    std::string value = get_value(path);
    return value.empty() ? def : Text::parse_hex(value);
}

uint64_t PathQuery::get_value_int64(std::string_view path, uint64_t def) const {
    std::string value = get_value(path);
    return value.empty() ? def : Text::parse_uint64(value);
}

uint64_t PathQuery::get_value_hex64(std::string_view path, uint64_t def) const {
    std::string value = get_value(path);
    return value.empty() ? def : Text::parse_hex64(value);
}

bool PathQuery::get_value_bool(std::string_view path, bool def) const {
    std::string value = get_value(path);
    if (value.empty()) return def;
    char c = value[0];
    return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

double PathQuery::get_value_real(std::string_view path, double def) const {
    std::string value = get_value(path);
    return value.empty() ? def : Text::parse_double(value);
}

bool PathQuery::set_value(std::string_view path, std::string_view text) {
    AttrPath split = split_attr(path);
    Element* e = get_element(split.elements);
    if (!e || e == &Element::none) return false;
    if (split.has_attr)
        e->set_attr(split.attr, std::string(text));
    else
        e->set_content(std::string(text));
    return true;
}

bool PathQuery::set_value_int(std::string_view path, int value) {
    return set_value(path, Text::to_decimal(value));
}

bool PathQuery::set_value_hex(std::string_view path, unsigned value) {
    return set_value(path, Text::to_hex(value));
}

bool PathQuery::set_value_int64(std::string_view path, uint64_t value) {
    return set_value(path, Text::to_decimal64(value));
}

bool PathQuery::set_value_hex64(std::string_view path, uint64_t value) {
    return set_value(path, Text::to_hex64(value));
}

bool PathQuery::set_value_real(std::string_view path, double value) {
    return set_value(path, stream_format(value));
}

bool PathQuery::set_value_bool(std::string_view path, bool value) {
    return set_value(path, value ? "yes" : "no");
}

bool PathQuery::delete_elements(std::string_view path) {
    std::vector<Element*> found = get_elements(path);
    std::erase(found, root_);
    if (found.empty()) return false;
    // Every match of a path shares one parent; removing them in one pass keeps this linear.
    Element* parent = found.front()->parent();
    std::unordered_set<Element*> doomed(found.begin(), found.end());
    std::vector<std::unique_ptr<Element>> removed;
    for (Element* child : parent->get_children(found.front()->name()))
        if (doomed.count(child)) removed.push_back(child->detach());
    return true;
}

bool PathQuery::add_element(std::string_view path, std::unique_ptr<Element> element) {
    Element* parent = get_element(path);
    if (!parent || parent == &Element::none || !element) return false;
    return &parent->add(std::move(element)) != &Element::none;
}

Element* PathQuery::add_element(std::string_view path, std::string_view name) {
    Element* parent = get_element(path);
    if (!parent || parent == &Element::none) return nullptr;
    return &parent->add(std::string(name));
}

bool PathQuery::replace_element(std::string_view path, std::unique_ptr<Element> element) {
    Element* old = get_element(path);
    if (!old || !element) return false;
    return old->replace_with(std::move(element)) != nullptr;
}

Element& PathQuery::ensure_path(std::string_view path) {
    if (root_ == &Element::none) return Element::none;
    Element* current = root_;
    for (std::string_view text : split_steps(split_attr(path).elements)) {
        Step step = parse_step(text);
        if (!step.valid) return Element::none;
        Element& next = current->get_child(step.name, step.index == 0 ? 0 : step.index - 1);
        current = &next != &Element::none ? &next : &current->add(std::string(step.name));
    }
    return *current;
}

}  // namespace Gantry::XML
