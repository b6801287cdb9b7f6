#include "gantry/net/socket.h"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Gantry::Net {

Socket::~Socket() {
    close();
}

void Socket::close() {
    const int fd = fd_.exchange(-1);
    // Linux releases the descriptor even when close() reports EINTR, so no retry here.
    if (fd != -1) ::close(fd);
}

bool Socket::go_nonblocking() {
    int on = 1;
    return ::ioctl(fd(), FIONBIO, &on) == 0;
}

bool Socket::go_blocking() {
    int off = 0;
    return ::ioctl(fd(), FIONBIO, &off) == 0;
}

bool Socket::set_timeout(int seconds, int microseconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    return ::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           ::setsockopt(fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool Socket::set_int_option(int level, int name, int value) {
    return ::setsockopt(fd(), level, name, &value, sizeof value) == 0;
}

bool Socket::enable_reuse() {
    return set_int_option(SOL_SOCKET, SO_REUSEADDR, 1);
}
bool Socket::enable_keepalive() {
    return set_int_option(SOL_SOCKET, SO_KEEPALIVE, 1);
}
bool Socket::enable_broadcast() {
    return set_int_option(SOL_SOCKET, SO_BROADCAST, 1);
}
bool Socket::set_tos(int value) {
    return set_int_option(IPPROTO_IP, IP_TOS, value);
}
bool Socket::set_priority(int value) {
    return set_int_option(SOL_SOCKET, SO_PRIORITY, value);
}
bool Socket::set_multicast_ttl(int value) {
    return set_int_option(IPPROTO_IP, IP_MULTICAST_TTL, value);
}
bool Socket::set_ttl(int value) {
    return set_int_option(IPPROTO_IP, IP_TTL, value);
}

bool Socket::wait_ready(int timeout_seconds, bool for_write) {
    const int descriptor = fd();
    // select() cannot watch descriptors at or above FD_SETSIZE; writing past the set would
    // corrupt the stack.
    if (descriptor < 0 || descriptor >= FD_SETSIZE) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(descriptor, &set);
    timeval tv{};
    tv.tv_sec = timeout_seconds;
    const int rc = for_write ? ::select(descriptor + 1, nullptr, &set, nullptr, &tv)
                             : ::select(descriptor + 1, &set, nullptr, nullptr, &tv);
    return rc > 0 && FD_ISSET(descriptor, &set);
}

bool Socket::wait_readable(int timeout_seconds) {
    return wait_ready(timeout_seconds, false);
}
bool Socket::wait_writable(int timeout_seconds) {
    return wait_ready(timeout_seconds, true);
}

EndPoint Socket::local_end_point() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return EndPoint();
    return EndPoint(address);
}

EndPoint Socket::remote_end_point() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return EndPoint();
    return EndPoint(address);
}

bool Socket::bind(IPAddress address, uint16_t port) {
    const sockaddr_in socket_address = EndPoint(address, port).to_sockaddr();
    return ::bind(fd(), reinterpret_cast<const sockaddr*>(&socket_address),
                  sizeof socket_address) == 0;
}

void Socket::shutdown_write() {
    ::shutdown(fd(), SHUT_WR);
}
void Socket::shutdown_both() {
    ::shutdown(fd(), SHUT_RDWR);
}

}  // namespace Gantry::Net
