// Web::JsonWriter: JSON text for read-only views, written in one pass with the commas and the
// escaping done here, so a caller cannot produce malformed output by forgetting either.
//
// Strings must be UTF-8; bytes that are not (a capture id or path can hold anything) become
// U+FFFD, because a JSON parser rejects the whole document for one bad byte. Numbers that JSON
// cannot hold (NaN, infinities) are written as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Gantry::Web {

class JsonWriter {
  public:
    JsonWriter& begin_object() { return open('{'); }
    JsonWriter& end_object() { return close('}'); }
    JsonWriter& begin_array() { return open('['); }
    JsonWriter& end_array() { return close(']'); }
    // The next value's name; only inside an object.
    JsonWriter& key(std::string_view name);

    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(bool flag);
    JsonWriter& value(int64_t number);
    JsonWriter& value(uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter& value(double number);
    JsonWriter& null();

    // The text so far; complete once every object and array is closed.
    const std::string& text() const { return out_; }

  private:
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);
    void separate();

    std::string out_;
    std::vector<bool> has_members_;  // per open container
    bool after_key_ = false;
};

// text as a quoted JSON string.
void append_json_string(std::string& out, std::string_view text);

}  // namespace Gantry::Web
