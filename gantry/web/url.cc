#include "gantry/web/url.h"

#include <cstring>

namespace Gantry::Web {

namespace {

bool is_scheme_char(char c, bool first) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return !first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void add_part(XML::Element& parts, const char* name, std::string_view value) {
    parts.add(name, std::string(value));
}

}  // namespace

URL::URL(std::string text) : text_(std::move(text)) {}

URL& URL::operator=(const URL& other) {
    if (this != &other) {
        text_ = other.text_;
        delete parts_.exchange(nullptr, std::memory_order_acq_rel);
    }
    return *this;
}

const XML::Element& URL::split() const {
    if (const XML::Element* parts = parts_.load(std::memory_order_acquire)) return *parts;
    std::unique_ptr<XML::Element> made = split_text(text_);
    const XML::Element* first = nullptr;
    if (parts_.compare_exchange_strong(first, made.get(), std::memory_order_acq_rel))
        return *made.release();
    return *first;
}

std::unique_ptr<XML::Element> URL::split_text(std::string_view rest) {
    auto parts = std::make_unique<XML::Element>("url");

    std::string_view fragment, query;
    bool has_fragment = false, has_query = false;
    if (const size_t hash = rest.find('#'); hash != std::string_view::npos) {
        fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
        has_fragment = true;
    }
    if (const size_t question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
        has_query = true;
    }

    size_t scheme_end = 0;
    while (scheme_end < rest.size() && is_scheme_char(rest[scheme_end], scheme_end == 0))
        ++scheme_end;
    if (scheme_end > 0 && scheme_end < rest.size() && rest[scheme_end] == ':') {
        add_part(*parts, "scheme", rest.substr(0, scheme_end));
        rest = rest.substr(scheme_end + 1);
        if (rest.substr(0, 2) == "//") {
            rest = rest.substr(2);
            const size_t authority_end = rest.find('/');
            std::string_view authority = rest.substr(0, authority_end);
            rest = authority_end == std::string_view::npos ? std::string_view()
                                                           : rest.substr(authority_end);
            if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
                const std::string_view user_info = authority.substr(0, at);
                authority = authority.substr(at + 1);
                const size_t colon = user_info.find(':');
                add_part(*parts, "user", user_info.substr(0, colon));
                if (colon != std::string_view::npos)
                    add_part(*parts, "password", user_info.substr(colon + 1));
            }
            const size_t colon = authority.rfind(':');
            if (colon != std::string_view::npos) {
                add_part(*parts, "host", authority.substr(0, colon));
                add_part(*parts, "port", authority.substr(colon + 1));
            } else if (!authority.empty()) {
                add_part(*parts, "host", authority);
            }
        }
    }
    if (!rest.empty()) add_part(*parts, "path", rest);
    if (has_query) add_part(*parts, "query", query);
    if (has_fragment) add_part(*parts, "fragment", fragment);
    return parts;
}

std::string URL::part(std::string_view name) const {
    return split().get_child(name).content();
}

int URL::port() const {
    const std::string text = part("port");
    if (text.empty() || text.size() > 5) return 0;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value <= 65535 ? value : 0;
}

std::string URL::encode(std::string_view text, bool form) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    static constexpr const char* RESERVED = "!#$%&'()*+,/:;=?@[]";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ' ') {
            out += form ? "+" : "%20";
        } else if (byte < 0x20 || byte > '~' || std::strchr(RESERVED, c) != nullptr) {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::string URL::decode(std::string_view text, bool form) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) << 4 | hex_value(text[i + 2]));
            i += 2;
        } else if (c == '+' && form) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const URL& url) {
    return out << url.str();
}

std::string URL::query_value(const std::string& query, std::string_view name, bool& found) {
    found = false;
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string_view pair(query.data() + at, end - at);
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            found = true;
            return equals == std::string_view::npos ? std::string()
                                                    : decode(pair.substr(equals + 1), true);
        }
        at = end + 1;
    }
    return {};
}

}  // namespace Gantry::Web
