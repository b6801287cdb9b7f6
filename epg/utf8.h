// The guard on everything the programme guide hands on: text in the store, the state file and the
// responses must be well-formed UTF-8 that XML 1.0 can carry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Corvid::Capture {

// True if text is well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF) and holds only characters XML 1.0 allows.
bool is_clean_utf8(std::string_view text);

// True if text is well-formed UTF-8, whatever characters it holds.
bool is_well_formed_utf8(std::string_view text);

// Returns text with every ill-formed sequence replaced by U+FFFD (one per maximal ill-formed
// subpart, as Unicode recommends) and with the characters XML 1.0 forbids removed: C0 controls
// other than tab, line feed and carriage return, U+FFFE and U+FFFF. Clean text comes back as it
// was.
std::string clean_utf8(std::string_view text);
void clean_utf8_in_place(std::string& text);

// Appends a code point that XML 1.0 may carry, as UTF-8; drops the others (controls, surrogates,
// U+FFFE, U+FFFF, values above U+10FFFF).
void append_xml_char(std::string& out, uint32_t code_point);

}  // namespace Corvid::Capture
