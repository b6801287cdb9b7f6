// The exception thrown by the cooked socket operations.
#pragma once

#include <stdexcept>
#include <string>

namespace Gantry::Net {

class SocketError : public std::runtime_error {
  public:
    // error 0 means the peer closed the connection (end of file).
    explicit SocketError(int error);

    int error() const { return error_; }
    bool is_eof() const { return error_ == 0; }

  private:
    int error_;
};

}  // namespace Gantry::Net
