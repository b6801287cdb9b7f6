// Drives the parser over arbitrary bytes with every flag combination, then the configuration
// reader over the same bytes. Checks that:
// - reading from a string and from a stream that hands out one byte at a time agree exactly
//   (tree, messages, success), so block boundaries can fall anywhere;
// - whatever tree came out (complete or partial) copies faithfully and is written as text that
//   parses again.
//
// Input: the first byte selects the flags (low four bits) and namespace mapping (0x10); the rest
// is the document.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"

using Gantry::XML::Configuration;
using Gantry::XML::Element;
using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
using Gantry::XML::PathQuery;
using Gantry::XML::Testing::TrickleBuffer;

namespace {

struct Result {
    std::unique_ptr<Parser> parser;
    std::ostringstream errors;
    bool ok = true;
};

void parse(Result& r, unsigned selector, std::string_view text, bool trickle) {
    r.parser = std::make_unique<Parser>(r.errors, selector & 0x0F);
    if (selector & 0x10) {
        r.parser->map_namespace("http://schemas.xmlsoap.org/soap/envelope/", "env");
        r.parser->map_namespace("urn:corvid", "cv");
        r.parser->map_namespace("urn:bare", "");
    }
    try {
        if (trickle) {
            TrickleBuffer buffer(text);
            std::istream in(&buffer);
            r.parser->read(in);
        } else {
            r.parser->read(text);
        }
    } catch (const ParseFailed&) {
        r.ok = false;
    }
}

void query(Element& root) {
    PathQuery q(root);
    (void)q.get_value("a/b[2]/@c", "d");
    (void)q.get_value_int("a", 1);
    (void)q.get_elements("a/b");
    (void)root.get_descendants("a");
    (void)root.get_content();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned selector = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    Result whole, trickled;
    parse(whole, selector, text, false);
    parse(trickled, selector, text, true);
    Element& root = whole.parser->root();
    std::string written = root.to_string(true);
    if (whole.ok != trickled.ok || whole.errors.str() != trickled.errors.str() ||
        written != trickled.parser->root().to_string(true))
        std::abort();

    query(root);
    if (&root != &Element::none) {
        if (root.deep_copy()->to_string(true) != written) std::abort();
        std::ostringstream errors;
        Parser again(errors);
        try {
            again.read(written);
        } catch (const ParseFailed&) {
            // The writer produced text its own parser refuses.
            std::abort();
        }
    }

    std::ostringstream errors;
    Configuration config("", errors, selector & 0x0F);
    if (config.read_text(text, "captured")) query(config.root());
    return 0;
}
