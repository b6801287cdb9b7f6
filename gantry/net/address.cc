#include "gantry/net/address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Gantry::Net {

namespace {

// The resolver's re-entrant calls want a work buffer; 1024 bytes covers ordinary answers and the
// buffer grows when the resolver says it is too small.
constexpr size_t INITIAL_RESOLVER_BUFFER = 1024;
constexpr size_t MAX_RESOLVER_BUFFER = 1 << 20;

uint32_t lookup_host(const std::string& name) {
    std::vector<char> work(INITIAL_RESOLVER_BUFFER);
    for (;;) {
        hostent entry{};
        hostent* result = nullptr;
        int h_error = 0;
        const int rc =
            ::gethostbyname_r(name.c_str(), &entry, work.data(), work.size(), &result, &h_error);
        if (rc == ERANGE && work.size() < MAX_RESOLVER_BUFFER) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr || result->h_addrtype != AF_INET ||
            result->h_length != 4 || result->h_addr_list[0] == nullptr)
            return IPAddress::INVALID;
        in_addr first;
        std::memcpy(&first, result->h_addr_list[0], sizeof first);
        return ntohl(first.s_addr);
    }
}

}  // namespace

IPAddress::IPAddress(std::string_view text) {
    if (text.empty()) return;
    const std::string copy(text);
    if (copy[0] >= '0' && copy[0] <= '9')
        address_ = ntohl(::inet_addr(copy.c_str()));
    else
        address_ = lookup_host(copy);
}

std::string IPAddress::dotted() const {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address_ >> 24) & 0xFF,
                  (address_ >> 16) & 0xFF, (address_ >> 8) & 0xFF, address_ & 0xFF);
    return text;
}

std::string IPAddress::host_name() const {
    const in_addr network = to_in_addr();
    std::vector<char> work(INITIAL_RESOLVER_BUFFER);
    for (;;) {
        hostent entry{};
        hostent* result = nullptr;
        int h_error = 0;
        const int rc = ::gethostbyaddr_r(&network, sizeof network, AF_INET, &entry, work.data(),
                                         work.size(), &result, &h_error);
        if (rc == ERANGE && work.size() < MAX_RESOLVER_BUFFER) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr || result->h_name == nullptr) return dotted();
        return result->h_name;
    }
}

in_addr IPAddress::to_in_addr() const {
    in_addr result;
    result.s_addr = htonl(address_);
    return result;
}

std::ostream& operator<<(std::ostream& out, IPAddress address) {
    return out << address.dotted();
}

MaskedAddress::MaskedAddress(std::string_view text) {
    const size_t slash = text.find('/');
    address_ = IPAddress(text.substr(0, slash));
    if (slash == std::string_view::npos) return;
    const std::string_view mask_text = text.substr(slash + 1);
    if (mask_text.find('.') != std::string_view::npos) {
        mask_ = IPAddress(mask_text).value();
        return;
    }
    // Bits beyond 32 (or garbage) cannot mean more than a single host.
    unsigned bits = 0;
    for (char c : mask_text) {
        if (c < '0' || c > '9') break;
        bits = bits * 10 + static_cast<unsigned>(c - '0');
        if (bits > 32) bits = 32;
    }
    mask_ = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
}

int MaskedAddress::prefix_length() const {
    int bits = 0;
    for (uint32_t m = mask_; m & 0x80000000u; m <<= 1)
        ++bits;
    return bits;
}

std::string MaskedAddress::str() const {
    std::string result = address_.dotted();
    if (mask_ != 0xFFFFFFFFu) result += "/" + std::to_string(prefix_length());
    return result;
}

std::ostream& operator<<(std::ostream& out, const MaskedAddress& address) {
    return out << address.str();
}

EndPoint::EndPoint(const sockaddr_in& socket_address)
    : address_(ntohl(socket_address.sin_addr.s_addr)), port_(ntohs(socket_address.sin_port)) {}

sockaddr_in EndPoint::to_sockaddr() const {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr = address_.to_in_addr();
    result.sin_port = htons(port_);
    return result;
}

std::string EndPoint::str() const {
    return address_.dotted() + ":" + std::to_string(port_);
}

std::ostream& operator<<(std::ostream& out, const EndPoint& end_point) {
    return out << end_point.str();
}

Protocol parse_protocol(std::string_view text) {
    if (text == "TCP" || text == "tcp") return Protocol::TCP;
    if (text == "UDP" || text == "udp") return Protocol::UDP;
    return Protocol::UNKNOWN;
}

std::ostream& operator<<(std::ostream& out, Protocol protocol) {
    switch (protocol) {
        case Protocol::TCP:
            return out << "TCP";
        case Protocol::UDP:
            return out << "UDP";
        default:
            return out << "?UKNOWN?";
    }
}

}  // namespace Gantry::Net
