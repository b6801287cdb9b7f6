// Shared by the XML tests: parse a text and capture what the parser said.
#pragma once

#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>

#include "gantry/xml/xml.h"

namespace Gantry::XML::Testing {

struct Outcome {
    bool ok;
    std::string errors;  // everything written to the error stream
    std::string tree;    // the root as written (partial tree after a failure)
};

inline Outcome parse_with(Parser& parser, std::string_view text) {
    bool ok = true;
    try {
        parser.read(text);
    } catch (const ParseFailed&) {
        ok = false;
    }
    return {ok, "", parser.root().to_string()};
}

inline Outcome parse(std::string_view text, unsigned flags = Parser::FOLD_TEXT) {
    std::ostringstream errors;
    Parser parser(errors, flags);
    Outcome out = parse_with(parser, text);
    out.errors = errors.str();
    return out;
}

// A stream that hands out one byte per underflow and cannot seek: the worst case for a parser
// that reads in blocks.
class TrickleBuffer : public std::streambuf {
  public:
    explicit TrickleBuffer(std::string data) : data_(std::move(data)) {}
    size_t position() const { return pos_ - static_cast<size_t>(egptr() - gptr()); }

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

inline Outcome parse_trickled(std::string_view text, unsigned flags = Parser::FOLD_TEXT) {
    std::ostringstream errors;
    Parser parser(errors, flags);
    TrickleBuffer buffer{std::string(text)};
    std::istream in(&buffer);
    bool ok = true;
    try {
        parser.read(in);
    } catch (const ParseFailed&) {
        ok = false;
    }
    return {ok, errors.str(), parser.root().to_string()};
}

}  // namespace Gantry::XML::Testing
