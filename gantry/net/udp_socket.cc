#include "gantry/net/udp_socket.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "gantry/net/socket_error.h"

namespace Gantry::Net {

UDPSocket::UDPSocket() : Socket(::socket(AF_INET, SOCK_DGRAM, 0)) {}

UDPSocket::UDPSocket(uint16_t port) : UDPSocket() {
    if (valid() && !bind(port)) close();
}

UDPSocket::UDPSocket(IPAddress address, uint16_t port, bool reuse) : UDPSocket() {
    if (!valid()) return;
    if ((reuse && !enable_reuse()) || !bind(address, port)) close();
}

UDPSocket::UDPSocket(IPAddress local_address, uint16_t local_port, IPAddress remote_address,
                     uint16_t remote_port)
    : UDPSocket(local_address, local_port) {
    if (!valid()) return;
    const sockaddr_in remote = EndPoint(remote_address, remote_port).to_sockaddr();
    if (::connect(fd(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) close();
}

bool UDPSocket::membership(int option, IPAddress group, IPAddress interface) {
    // The 12-byte form with an interface index, so the kernel never reads past the request.
    ip_mreqn request{};
    request.imr_multiaddr = group.to_in_addr();
    request.imr_address = interface.to_in_addr();
    request.imr_ifindex = 0;
    return ::setsockopt(fd(), IPPROTO_IP, option, &request, sizeof request) == 0;
}

bool UDPSocket::join_multicast_group(IPAddress group, IPAddress interface) {
    return membership(IP_ADD_MEMBERSHIP, group, interface);
}

bool UDPSocket::leave_multicast_group(IPAddress group, IPAddress interface) {
    return membership(IP_DROP_MEMBERSHIP, group, interface);
}

namespace {

void set_address(sockaddr_storage& storage, IPAddress address) {
    sockaddr_in& in = reinterpret_cast<sockaddr_in&>(storage);
    in.sin_family = AF_INET;
    in.sin_addr = address.to_in_addr();
}

}  // namespace

bool UDPSocket::join_group(IPAddress group, unsigned interface_index, IPAddress source) {
    return group_membership(true, group, interface_index, source);
}

bool UDPSocket::leave_group(IPAddress group, unsigned interface_index, IPAddress source) {
    return group_membership(false, group, interface_index, source);
}

bool UDPSocket::group_membership(bool join, IPAddress group, unsigned interface_index,
                                 IPAddress source) {
    if (!source.valid()) {
        group_req request{};
        request.gr_interface = interface_index;
        set_address(request.gr_group, group);
        return ::setsockopt(fd(), IPPROTO_IP, join ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP, &request,
                            sizeof request) == 0;
    }
    group_source_req request{};
    request.gsr_interface = interface_index;
    set_address(request.gsr_group, group);
    set_address(request.gsr_source, source);
    return ::setsockopt(fd(), IPPROTO_IP, join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP,
                        &request, sizeof request) == 0;
}

bool UDPSocket::set_multicast_all(bool on) {
    return set_int_option(IPPROTO_IP, IP_MULTICAST_ALL, on ? 1 : 0);
}

unsigned UDPSocket::interface_index(std::string_view name_or_address) {
    const std::string text(name_or_address);
    if (text.empty()) return 0;
    if (const unsigned index = ::if_nametoindex(text.c_str())) return index;
    // Only dotted text: a name that is not an interface must not go to the resolver.
    if (text.find_first_not_of("0123456789.") != std::string::npos) return 0;
    const IPAddress wanted{std::string_view(text)};
    if (!wanted.valid()) return 0;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return 0;
    unsigned index = 0;
    for (const ifaddrs* entry = list; entry && !index; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (EndPoint(*in).address() == wanted) index = ::if_nametoindex(entry->ifa_name);
    }
    ::freeifaddrs(list);
    return index;
}

bool UDPSocket::set_multicast_interface(IPAddress interface) {
    const in_addr address = interface.to_in_addr();
    return ::setsockopt(fd(), IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) == 0;
}

bool UDPSocket::set_multicast_loop(bool on) {
    return set_int_option(IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
}

ssize_t UDPSocket::raw_receive(void* buffer, size_t length, int flags, EndPoint* from) {
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    ssize_t result;
    do {
        result = ::recvfrom(fd(), buffer, length, flags,
                            from ? reinterpret_cast<sockaddr*>(&sender) : nullptr,
                            from ? &sender_length : nullptr);
    } while (result < 0 && errno == EINTR);
    if (result >= 0 && from) *from = EndPoint(sender);
    return result;
}

size_t UDPSocket::receive(void* buffer, size_t length, int flags, EndPoint* from) {
    const ssize_t result = raw_receive(buffer, length, flags, from);
    if (result < 0) throw SocketError(errno);
    return static_cast<size_t>(result);
}

ssize_t UDPSocket::raw_send_to(const void* buffer, size_t length, int flags, const EndPoint& to) {
    const sockaddr_in target = to.to_sockaddr();
    ssize_t result;
    do {
        result = ::sendto(fd(), buffer, length, flags | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result < 0 && errno == EINTR);
    return result;
}

void UDPSocket::send_to(const void* buffer, size_t length, int flags, const EndPoint& to) {
    if (raw_send_to(buffer, length, flags, to) < 0) throw SocketError(errno);
}

ssize_t UDPSocket::raw_send(const void* buffer, size_t length, int flags) {
    ssize_t result;
    do {
        result = ::send(fd(), buffer, length, flags | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return result;
}

void UDPSocket::send(const void* buffer, size_t length, int flags) {
    if (raw_send(buffer, length, flags) < 0) throw SocketError(errno);
}

}  // namespace Gantry::Net
