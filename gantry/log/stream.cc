#include "gantry/log/stream.h"

#include <cstring>

namespace Gantry::Log {

StreamBuf::StreamBuf(Channel& channel, int level)
    : channel_(channel), level_(level), enabled_(channel.accepts(level)) {}

StreamBuf::~StreamBuf() {
    if (!enabled_ || line_.empty() || sent_) return;
    try {
        send();
    } catch (...) {
        // A destructor must not throw; the line is lost, as it would be on any write error.
    }
}

void StreamBuf::send() {
    channel_.log(Message(level_, Time::Stamp::now(), line_));
}

StreamBuf::int_type StreamBuf::overflow(int_type c) {
    if (!enabled_) return traits_type::not_eof(c);
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        if (!sent_) {
            send();
            sent_ = true;
        }
        return traits_type::not_eof(c);
    }
    const char ch = traits_type::to_char_type(c);
    if (ch == '\n') {
        send();
        line_.clear();
        sent_ = false;
    } else {
        line_ += ch;
    }
    return c;
}

std::streamsize StreamBuf::xsputn(const char* text, std::streamsize count) {
    if (!enabled_) return count;
    const char* end = text + count;
    while (text < end) {
        const auto* newline =
            static_cast<const char*>(std::memchr(text, '\n', static_cast<size_t>(end - text)));
        if (newline == nullptr) {
            line_.append(text, end);
            break;
        }
        line_.append(text, newline);
        send();
        line_.clear();
        sent_ = false;
        text = newline + 1;
    }
    return count;
}

// The buffer is a member, so it is built after the ostream base; the base only stores its
// address until then.
Stream::Stream(Channel& channel, int level) : std::ostream(&buffer_), buffer_(channel, level) {
    if (!buffer_.enabled()) setstate(std::ios_base::badbit);
}

Stream::~Stream() = default;

}  // namespace Gantry::Log
