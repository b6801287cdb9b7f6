// The header fields of an HTTP message: an XML element whose children are the fields in order,
// each named after the field with its value as content. Received names are lower case; lookups
// ignore case, so "Content-Length" finds "content-length".
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "gantry/xml/element.h"

namespace Gantry::Web {

class MIMEHeaders : public XML::Element {
  public:
    MIMEHeaders() : XML::Element("headers") {}
    MIMEHeaders(const MIMEHeaders& other) : MIMEHeaders() { other.copy_to(*this); }
    MIMEHeaders& operator=(const MIMEHeaders& other) {
        if (this != &other) other.copy_to(*this);
        return *this;
    }

    // Value of the first field with the name, or def.
    std::string get_header(std::string_view name, std::string_view def = {}) const;
    bool has_header(std::string_view name) const;
    // Number of fields with the name.
    size_t count_header(std::string_view name) const;
    // Appends a field (a repeated name gives a second field).
    void add_header(std::string_view name, std::string value);
    // Replaces the value of the first field with the name, or appends one.
    void put_header(std::string_view name, std::string value);
    // Removes every field with the name.
    void remove_header(std::string_view name);

    // Each field as "Name: value" CRLF on one line however long (HTTP/1.1 forbids folding, and
    // some clients reject it), the name's first character upper-cased. CR and LF inside names
    // or values become spaces, so a value cannot smuggle in a field of its own.
    void write(std::ostream& out) const;
    void write(std::string& out) const;

  private:
    const XML::Element* find(std::string_view name) const;
};

}  // namespace Gantry::Web
