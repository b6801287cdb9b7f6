// The one exception type of the binary channels.
#pragma once

#include <exception>
#include <iosfwd>
#include <string>

namespace Gantry::Channel {

// Thrown by every reader and writer. Codes:
//   0  end of data ("EOF", "EOF in string")
//   1  data or stream error (block bounds, failed stream, malformed data)
//   2  system error (text from strerror) or unsupported operation
// what() and operator<< give "Channel error (<code>): <text>".
class Error : public std::exception {
  public:
    enum Code { end_of_data = 0, data_error = 1, system_error = 2 };

    Error(int code, std::string text);

    int code() const noexcept { return code_; }
    const std::string& text() const noexcept { return text_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    int code_;
    std::string text_;
    std::string message_;
};

std::ostream& operator<<(std::ostream& out, const Error& error);

}  // namespace Gantry::Channel
