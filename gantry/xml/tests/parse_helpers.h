// Shared by the XML tests and fuzzer: parse a text and capture what the parser said.
#pragma once

#include <istream>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>

#include "gantry/xml/xml.h"

namespace Gantry::XML::Testing {

// Hands out one byte per underflow and cannot seek: the worst case for a parser reading blocks.
class TrickleBuffer : public std::streambuf {
  public:
    explicit TrickleBuffer(std::string_view data) : data_(data) {}

  protected:
    int_type underflow() override {
        if (pos_ >= data_.size()) return traits_type::eof();
        current_ = data_[pos_++];
        setg(&current_, &current_, &current_ + 1);
        return traits_type::to_int_type(current_);
    }

  private:
    std::string data_;
    size_t pos_ = 0;
    char current_ = 0;
};

struct Outcome {
    bool ok = true;
    std::string errors, tree;  // all the parser wrote; the root, partial after a failure
};

inline Outcome parse(std::string_view text, unsigned flags = Parser::FOLD_TEXT,
                     bool trickle = false) {
    std::ostringstream errors;
    Parser parser(errors, flags);
    TrickleBuffer buffer(text);
    std::istream in(&buffer);
    Outcome out;
    try {
        trickle ? parser.read(in) : parser.read(text);
    } catch (const ParseFailed&) {
        out.ok = false;
    }
    return {out.ok, errors.str(), parser.root().to_string()};
}

}  // namespace Gantry::XML::Testing
