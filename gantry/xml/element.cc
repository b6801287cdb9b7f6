#include "gantry/xml/element.h"

#include <algorithm>
#include <cstdlib>
#include <locale>
#include <sstream>

#include "gantry/text/text.h"
#include "gantry/xml/parser.h"

namespace Gantry::XML {

Element Element::none("!NONE!");

// ---- Attributes

std::vector<Attributes::Entry>::iterator Attributes::lower_bound(std::string_view name) {
    return std::lower_bound(entries_.begin(), entries_.end(), name,
                            [](const Entry& e, std::string_view n) { return e.first < n; });
}

const std::string* Attributes::find(std::string_view name) const {
    auto it = const_cast<Attributes*>(this)->lower_bound(name);
    if (it == entries_.end() || it->first != name) return nullptr;
    return &it->second;
}

bool Attributes::set(std::string_view name, std::string value) {
    auto it = lower_bound(name);
    if (it != entries_.end() && it->first == name) {
        it->second = std::move(value);
        return false;
    }
    entries_.emplace(it, std::string(name), std::move(value));
    return true;
}

bool Attributes::erase(std::string_view name) {
    auto it = lower_bound(name);
    if (it == entries_.end() || it->first != name) return false;
    entries_.erase(it);
    return true;
}

// ---- Element

namespace {

std::string stream_format(auto value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

}  // namespace

Element::Element(std::string name, std::string content)
    : name_(std::move(name)), content_(std::move(content)) {}

Element::~Element() {
    // Flatten the subtree into a work list so that no destructor ever recurses: each element
    // popped here has its children moved out before it is deleted.
    if (children_.empty()) return;
    std::vector<std::unique_ptr<Element>> pending = std::move(children_);
    while (!pending.empty()) {
        std::unique_ptr<Element> e = std::move(pending.back());
        pending.pop_back();
        for (auto& child : e->children_)
            pending.push_back(std::move(child));
        e->children_.clear();
    }
}

void Element::set_name(std::string name) {
    if (!is_none()) name_ = std::move(name);
}

void Element::set_content(std::string content) {
    if (!is_none()) content_ = std::move(content);
}

void Element::set_line(int line) {
    if (!is_none()) line_ = line;
}

Element& Element::get_child(size_t n) const {
    return n < children_.size() ? *children_[n] : none;
}

Element& Element::get_child(std::string_view name, size_t n) const {
    for (const auto& child : children_) {
        if (child->name_ == name) {
            if (n == 0) return *child;
            n--;
        }
    }
    return none;
}

std::vector<Element*> Element::get_children(std::string_view name) const {
    std::vector<Element*> out;
    for (const auto& child : children_)
        if (child->name_ == name) out.push_back(child.get());
    return out;
}

namespace {

// Pre-order walk below root without recursion. visit(e) returns whether to descend into e; the
// walk stops early when visit sets stop.
template <typename Visit>
void walk_below(const Element& root, Visit visit) {
    struct Frame {
        const Element* element;
        size_t next;
    };
    std::vector<Frame> stack{{&root, 0}};
    bool stop = false;
    while (!stack.empty() && !stop) {
        Frame& top = stack.back();
        if (top.next == top.element->children().size()) {
            stack.pop_back();
            continue;
        }
        Element* child = top.element->children()[top.next++].get();
        if (visit(child, stop) && !child->children().empty()) stack.push_back({child, 0});
    }
}

}  // namespace

Element& Element::get_descendant(std::string_view name) const {
    Element* found = nullptr;
    walk_below(*this, [&](Element* e, bool& stop) {
        if (e->name() == name) {
            found = e;
            stop = true;
            return false;
        }
        return true;
    });
    return found ? *found : none;
}

std::vector<Element*> Element::get_descendants(std::string_view name,
                                               std::string_view prune) const {
    std::vector<Element*> out;
    walk_below(*this, [&](Element* e, bool&) {
        if (e->name() == name) out.push_back(e);
        return prune.empty() || e->name() != prune;
    });
    return out;
}

Element& Element::make_child(std::string_view name) {
    Element& found = get_child(name);
    if (&found != &none) return found;
    return add(std::string(name));
}

std::string Element::get_content() const {
    if (!content_.empty()) return content_;
    std::string out;
    for (const auto& child : children_) {
        if (child->is_text()) {
            out += child->content_;
            out += '\n';
        }
    }
    return out;
}

std::string Element::get_attr(std::string_view name, std::string_view def) const {
    const std::string* value = attrs_.find(name);
    return value ? *value : std::string(def);
}

int Element::get_attr_int(std::string_view name, int def) const {
    const std::string* value = attrs_.find(name);
    return value ? Text::parse_int(*value) : def;
}

int64_t Element::get_attr_int64(std::string_view name, int64_t def) const {
    const std::string* value = attrs_.find(name);
    return value ? std::strtoll(value->c_str(), nullptr, 10) : def;
}

bool Element::get_attr_bool(std::string_view name, bool def) const {
    const std::string* value = attrs_.find(name);
    if (!value) return def;
    if (value->empty()) return false;
    switch ((*value)[0]) {
        case 'Y':
        case 'y':
        case 'T':
        case 't':
        case '1':
            return true;
        default:
            return false;
    }
}

double Element::get_attr_real(std::string_view name, double def) const {
    const std::string* value = attrs_.find(name);
    return value ? Text::parse_double(*value) : def;
}

void Element::set_attr(std::string_view name, std::string value) {
    if (!is_none()) attrs_.set(name, std::move(value));
}

void Element::set_attr_int(std::string_view name, int value) {
    set_attr(name, stream_format(value));
}

void Element::set_attr_int64(std::string_view name, int64_t value) {
    set_attr(name, stream_format(value));
}

void Element::set_attr_real(std::string_view name, double value) {
    set_attr(name, stream_format(value));
}

void Element::set_attr_bool(std::string_view name, bool value) {
    set_attr(name, value ? "true" : "false");
}

bool Element::remove_attr(std::string_view name) {
    return !is_none() && attrs_.erase(name);
}

Element& Element::add(std::unique_ptr<Element> child) {
    if (!child || is_none()) return none;
    if (would_cycle(*child)) {
        // That tree still owns this element, so it is let go rather than deleted.
        (void)child.release();
        return none;
    }
    if (child->parent_) {
        // The caller's pointer came from a tree that still lists it: take it out of that list
        // without letting the list delete it.
        auto& siblings = child->parent_->children_;
        auto it = std::find_if(siblings.begin(), siblings.end(),
                               [&](const auto& p) { return p.get() == child.get(); });
        if (it != siblings.end()) {
            (void)it->release();
            siblings.erase(it);
        }
    }
    child->parent_ = this;
    children_.push_back(std::move(child));
    return *children_.back();
}

Element& Element::add(std::string name, std::string content) {
    if (is_none()) return none;
    return add(std::make_unique<Element>(std::move(name), std::move(content)));
}

void Element::clear_children() {
    // Moved out first so that the (iterative) destructor of a holder does the work.
    Element holder;
    holder.children_ = std::move(children_);
    children_.clear();
}

bool Element::would_cycle(const Element& child) const {
    // Only an element with children can be an ancestor; checking leaves for nothing keeps
    // building a deep tree one leaf at a time linear.
    if (&child != this && child.children_.empty()) return false;
    for (const Element* e = this; e; e = e->parent_)
        if (e == &child) return true;
    return false;
}

size_t Element::index_in_parent() const {
    const auto& siblings = parent_->children_;
    for (size_t i = 0; i < siblings.size(); i++)
        if (siblings[i].get() == this) return i;
    return siblings.size();
}

std::unique_ptr<Element> Element::detach() {
    if (!parent_) return nullptr;
    auto& siblings = parent_->children_;
    size_t i = index_in_parent();
    std::unique_ptr<Element> self = std::move(siblings[i]);
    siblings.erase(siblings.begin() + static_cast<ptrdiff_t>(i));
    parent_ = nullptr;
    return self;
}

std::unique_ptr<Element> Element::replace_with(std::unique_ptr<Element> other) {
    if (!parent_ || !other || other.get() == this) return nullptr;
    if (parent_->would_cycle(*other)) {
        (void)other.release();
        return nullptr;
    }
    if (other->parent_) other = other->detach();
    Element* parent = parent_;
    size_t i = index_in_parent();
    std::unique_ptr<Element> self = std::move(parent->children_[i]);
    other->parent_ = parent;
    parent->children_[i] = std::move(other);
    parent_ = nullptr;
    return self;
}

std::unique_ptr<Element> Element::deep_copy() const {
    auto copy_node = [](const Element& from) {
        auto to = std::make_unique<Element>(from.name_, from.content_);
        to->attrs_ = from.attrs_;
        to->line_ = from.line_;
        to->children_.reserve(from.children_.size());
        return to;
    };
    std::unique_ptr<Element> root = copy_node(*this);
    struct Frame {
        const Element* from;
        Element* to;
        size_t next;
    };
    std::vector<Frame> stack{{this, root.get(), 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.from->children_.size()) {
            stack.pop_back();
            continue;
        }
        const Element& child = *top.from->children_[top.next++];
        Element& copy = top.to->add(copy_node(child));
        if (!child.children_.empty()) stack.push_back({&child, &copy, 0});
    }
    return root;
}

void Element::copy_to(Element& target) const {
    if (target.is_none()) return;
    // Copy first: target may be inside this tree, or this element inside target's subtree (which
    // the assignment below deletes).
    std::unique_ptr<Element> copy = deep_copy();
    target.name_ = std::move(copy->name_);
    target.content_ = std::move(copy->content_);
    target.attrs_ = std::move(copy->attrs_);
    target.clear_children();
    target.children_ = std::move(copy->children_);
    for (auto& child : target.children_)
        child->parent_ = &target;
}

void Element::merge(const Element& other) {
    if (is_none()) return;
    std::vector<std::unique_ptr<Element>> copies;
    copies.reserve(other.children_.size());
    for (const auto& child : other.children_)
        copies.push_back(child->deep_copy());
    for (const auto& [name, value] : other.attrs_)
        attrs_.set(name, value);
    for (auto& copy : copies)
        add(std::move(copy));
}

bool Element::merge_xml(std::string_view text, std::ostream& errors, unsigned flags) {
    Parser parser(errors, flags);
    try {
        parser.read(text);
    } catch (const ParseFailed&) {
        return false;
    }
    const Element& root = parser.root();
    if (root.name_ != name_) {
        errors << "Wrong root name in merged XML: expecting " << name_ << " but got " << root.name_
               << '\n';
        return false;
    }
    merge(root);
    return true;
}

std::ostream& operator<<(std::ostream& out, const Element& element) {
    element.write_to(out);
    return out;
}

}  // namespace Gantry::XML
