#include "gantry/net/tcp_socket.h"

#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

#include "gantry/net/socket_error.h"

namespace Gantry::Net {

namespace {
constexpr size_t READ_TO_STRING_BLOCK = 1024;
}

TCPSocket::TCPSocket() : Socket(::socket(AF_INET, SOCK_STREAM, 0)) {}

ssize_t TCPSocket::raw_read(void* buffer, size_t count) {
    if (!valid()) {
        errno = EBADF;
        return -1;
    }
    ssize_t result;
    do {
        result = ::read(fd(), buffer, count);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t TCPSocket::raw_write(const void* buffer, size_t count) {
    return raw_send(buffer, count, 0);
}

size_t TCPSocket::read(void* buffer, size_t count) {
    const ssize_t result = raw_read(buffer, count);
    if (result < 0) throw SocketError(errno);
    return static_cast<size_t>(result);
}

bool TCPSocket::read_exact(void* buffer, size_t count) {
    auto* bytes = static_cast<char*>(buffer);
    while (count > 0) {
        const size_t got = read(bytes, count);
        if (got == 0) return false;
        bytes += got;
        count -= got;
    }
    return true;
}

bool TCPSocket::read_to_string(std::string& text) {
    char block[READ_TO_STRING_BLOCK];
    const size_t got = read(block, sizeof block);
    if (got == 0) return false;
    text.append(block, got);
    return true;
}

void TCPSocket::read_all(std::string& text) {
    while (read_to_string(text)) {
    }
}

void TCPSocket::write(const void* buffer, size_t count) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t result = raw_write(bytes, count);
        if (result <= 0) throw SocketError(result < 0 ? errno : EIO);
        bytes += result;
        count -= static_cast<size_t>(result);
    }
}

void TCPSocket::write_nbo_32(uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    write(bytes, sizeof bytes);
}

uint32_t TCPSocket::read_nbo_32() {
    unsigned char bytes[4];
    if (!read_exact(bytes, sizeof bytes)) throw SocketError(0);
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
           uint32_t{bytes[3]};
}

ssize_t TCPSocket::raw_send(const void* buffer, size_t count, int flags) {
    ssize_t result;
    do {
        result = ::send(fd(), buffer, count, flags | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return result;
}

size_t TCPSocket::send(const void* buffer, size_t count, int flags) {
    const ssize_t result = raw_send(buffer, count, flags);
    if (result < 0) throw SocketError(errno);
    return static_cast<size_t>(result);
}

ssize_t TCPSocket::raw_recv(void* buffer, size_t count, int flags) {
    ssize_t result;
    do {
        result = ::recv(fd(), buffer, count, flags);
    } while (result < 0 && errno == EINTR);
    return result;
}

size_t TCPSocket::recv(void* buffer, size_t count, int flags) {
    const ssize_t result = raw_recv(buffer, count, flags);
    if (result < 0) throw SocketError(errno);
    return static_cast<size_t>(result);
}

ssize_t TCPSocket::raw_sendmsg(const std::vector<iovec>& buffers, int flags) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(buffers.data());
    message.msg_iovlen = buffers.size();
    ssize_t result;
    do {
        result = ::sendmsg(fd(), &message, flags | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return result;
}

size_t TCPSocket::sendmsg(const std::vector<iovec>& buffers, int flags) {
    const ssize_t result = raw_sendmsg(buffers, flags);
    if (result < 0) throw SocketError(errno);
    return static_cast<size_t>(result);
}

}  // namespace Gantry::Net
