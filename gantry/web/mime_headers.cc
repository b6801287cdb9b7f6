#include "gantry/web/mime_headers.h"

#include <memory>

namespace Gantry::Web {

namespace {

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

void append_clean(std::string& out, std::string_view text) {
    for (char c : text)
        out += (c == '\r' || c == '\n') ? ' ' : c;
}

}  // namespace

const XML::Element* MIMEHeaders::find(std::string_view name) const {
    for (const auto& child : children())
        if (same_name(child->name(), name)) return child.get();
    return nullptr;
}

std::string MIMEHeaders::get_header(std::string_view name, std::string_view def) const {
    const XML::Element* field = find(name);
    return field ? field->content() : std::string(def);
}

bool MIMEHeaders::has_header(std::string_view name) const {
    return find(name) != nullptr;
}

size_t MIMEHeaders::count_header(std::string_view name) const {
    size_t count = 0;
    for (const auto& child : children())
        if (same_name(child->name(), name)) ++count;
    return count;
}

void MIMEHeaders::add_header(std::string_view name, std::string value) {
    add(std::string(name), std::move(value));
}

void MIMEHeaders::put_header(std::string_view name, std::string value) {
    for (const auto& child : children()) {
        if (same_name(child->name(), name)) {
            child->set_content(std::move(value));
            return;
        }
    }
    add_header(name, std::move(value));
}

void MIMEHeaders::remove_header(std::string_view name) {
    for (;;) {
        const XML::Element* field = find(name);
        if (!field) return;
        const_cast<XML::Element*>(field)->detach();
    }
}

void MIMEHeaders::write(std::string& out) const {
    for (const auto& child : children()) {
        const std::string& name = child->name();
        if (name.empty()) continue;
        const char first = name[0];
        out += (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
        append_clean(out, std::string_view(name).substr(1));
        out += ": ";
        append_clean(out, child->content());
        out += "\r\n";
    }
}

void MIMEHeaders::write(std::ostream& out) const {
    std::string text;
    write(text);
    out << text;
}

}  // namespace Gantry::Web
