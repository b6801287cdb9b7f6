// IPv4 address values: a single address, an address with a netmask, an address with a port, and
// the transport protocol. All values are in host byte order; conversion to network order happens
// only where a system call needs it.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace Gantry::Net {

class IPAddress {
  public:
    // 255.255.255.255 (INADDR_NONE) stands for "invalid or not set".
    static constexpr uint32_t INVALID = 0xFFFFFFFFu;
    static constexpr uint32_t ANY = 0;

    constexpr IPAddress() = default;
    constexpr IPAddress(uint32_t host_order) : address_(host_order) {}  // NOLINT: implicit
    // Dotted text if the first character is a digit, otherwise a host name looked up through the
    // resolver (first address wins). Anything that does not resolve gives the invalid address.
    explicit IPAddress(std::string_view text);

    constexpr uint32_t value() const { return address_; }
    constexpr bool valid() const { return address_ != INVALID; }
    constexpr bool is_multicast() const { return (address_ >> 28) == 0xE; }

    // Four decimal numbers separated by dots.
    std::string dotted() const;
    // Reverse lookup; the dotted text when there is no name.
    std::string host_name() const;

    in_addr to_in_addr() const;

    friend constexpr bool operator==(IPAddress a, IPAddress b) = default;
    friend constexpr auto operator<=>(IPAddress a, IPAddress b) = default;

  private:
    uint32_t address_ = INVALID;
};

std::ostream& operator<<(std::ostream& out, IPAddress address);

// An address with a netmask, e.g. "10.0.0.0/8" or "10.0.0.0/255.0.0.0"; a bare address is one host.
class MaskedAddress {
  public:
    constexpr MaskedAddress() = default;
    constexpr MaskedAddress(IPAddress address, uint32_t mask = 0xFFFFFFFFu)
        : address_(address), mask_(mask) {}
    explicit MaskedAddress(std::string_view text);

    IPAddress address() const { return address_; }
    uint32_t mask() const { return mask_; }
    // Number of leading one bits of the mask.
    int prefix_length() const;
    bool matches(IPAddress candidate) const {
        return (candidate.value() & mask_) == (address_.value() & mask_);
    }
    // Address, then "/bits" unless the mask is all ones.
    std::string str() const;

    friend bool operator==(const MaskedAddress& a, const MaskedAddress& b) = default;

  private:
    IPAddress address_;
    uint32_t mask_ = 0xFFFFFFFFu;
};

std::ostream& operator<<(std::ostream& out, const MaskedAddress& address);

class EndPoint {
  public:
    constexpr EndPoint() = default;
    constexpr EndPoint(IPAddress address, uint16_t port) : address_(address), port_(port) {}
    explicit EndPoint(const sockaddr_in& socket_address);

    IPAddress address() const { return address_; }
    uint16_t port() const { return port_; }
    sockaddr_in to_sockaddr() const;
    // "address:port"
    std::string str() const;

    friend bool operator==(const EndPoint& a, const EndPoint& b) = default;

  private:
    IPAddress address_;
    uint16_t port_ = 0;
};

std::ostream& operator<<(std::ostream& out, const EndPoint& end_point);

enum class Protocol { UNKNOWN = 0, TCP = 1, UDP = 2 };

// "TCP"/"tcp" and "UDP"/"udp"; anything else is UNKNOWN.
Protocol parse_protocol(std::string_view text);
std::ostream& operator<<(std::ostream& out, Protocol protocol);

}  // namespace Gantry::Net
