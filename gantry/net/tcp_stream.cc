#include "gantry/net/tcp_stream.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace Gantry::Net {

TCPStreamBuf::TCPStreamBuf(TCPSocket& socket, size_t input_size, size_t output_size)
    : socket_(socket), input_(input_size ? input_size : 1), output_(output_size ? output_size : 1) {
    setg(input_.data(), input_.data(), input_.data());
    setp(output_.data(), output_.data() + output_.size());
}

TCPStreamBuf::~TCPStreamBuf() {
    flush_output();
}

bool TCPStreamBuf::wait_for_input() {
    if (deadline_ == Clock::time_point::max()) return true;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) {
            error_ = ETIMEDOUT;
            return false;
        }
        pollfd entry{socket_.fd(), POLLIN, 0};
        const int rc =
            ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
        if (rc > 0) return true;  // readable, closed or in error: the read says which
        if (rc < 0 && errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

size_t TCPStreamBuf::fill(char* destination, size_t count) {
    if (!wait_for_input()) return 0;
    const ssize_t got = socket_.raw_read(destination, count);
    if (got > 0) return static_cast<size_t>(got);
    // A receive timeout shows as EAGAIN; report it as the timeout it is.
    error_ = got == 0 ? 0 : (errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno;
    return 0;
}

TCPStreamBuf::int_type TCPStreamBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const size_t got = fill(input_.data(), input_.size());
    if (got == 0) return traits_type::eof();
    setg(input_.data(), input_.data(), input_.data() + got);
    return traits_type::to_int_type(*gptr());
}

std::streamsize TCPStreamBuf::xsgetn(char* destination, std::streamsize count) {
    std::streamsize done = 0;
    while (done < count) {
        const std::streamsize available = egptr() - gptr();
        if (available > 0) {
            const std::streamsize take = std::min(available, count - done);
            std::memcpy(destination + done, gptr(), static_cast<size_t>(take));
            gbump(static_cast<int>(take));
            done += take;
            continue;
        }
        const size_t wanted = static_cast<size_t>(count - done);
        if (wanted >= input_.size()) {
            // Large reads bypass the buffer rather than copying through it.
            const size_t got = fill(destination + done, wanted);
            if (got == 0) break;
            done += static_cast<std::streamsize>(got);
        } else if (underflow() == traits_type::eof()) {
            break;
        }
    }
    return done;
}

bool TCPStreamBuf::write_out(const char* data, size_t count) {
    while (count > 0) {
        const ssize_t written = socket_.raw_write(data, count);
        if (written <= 0) {
            error_ = written < 0 ? errno : EIO;
            return false;
        }
        data += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

bool TCPStreamBuf::flush_output() {
    const size_t pending = static_cast<size_t>(pptr() - pbase());
    setp(output_.data(), output_.data() + output_.size());
    return pending == 0 || write_out(output_.data(), pending);
}

TCPStreamBuf::int_type TCPStreamBuf::overflow(int_type c) {
    if (!flush_output()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize TCPStreamBuf::xsputn(const char* source, std::streamsize count) {
    const auto room = epptr() - pptr();
    if (count <= room) {
        std::memcpy(pptr(), source, static_cast<size_t>(count));
        pbump(static_cast<int>(count));
        return count;
    }
    if (!flush_output()) return 0;
    if (static_cast<size_t>(count) < output_.size()) {
        std::memcpy(pptr(), source, static_cast<size_t>(count));
        pbump(static_cast<int>(count));
        return count;
    }
    // Bigger than the whole buffer: send it in one go rather than copying it through.
    return write_out(source, static_cast<size_t>(count)) ? count : 0;
}

int TCPStreamBuf::sync() {
    return flush_output() ? 0 : -1;
}

TCPStream::TCPStream(TCPSocket& socket, size_t input_size, size_t output_size)
    : std::iostream(nullptr), buffer_(socket, input_size, output_size) {
    init(&buffer_);
}

}  // namespace Gantry::Net
