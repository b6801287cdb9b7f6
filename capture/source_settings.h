// Where a capture's stream comes from: the group (or local address) and port, whether it arrives
// in RTP, the interface to join on and, for source-specific multicast, the one sender to take.
// Read by channel and EPG captures alike, and written back in the capture element form.
//
// Plain values; no threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "gantry/net/address.h"
#include "gantry/net/udp_socket.h"

namespace Gantry::XML {
class Element;
}

namespace Corvid::Capture {

enum class RtpMode { AUTO, YES, NO };

std::string_view rtp_mode_name(RtpMode mode);

struct SourceSettings {
    std::string address_text;
    Gantry::Net::IPAddress address;
    uint16_t port = 0;
    RtpMode rtp = RtpMode::AUTO;
    std::string interface;    // a name such as eth1 or a local address; "": the routing table's
    std::string source_text;  // the one sender of a source-specific join; "": any sender
    Gantry::Net::IPAddress source;

    // Reads the "source" element of the definition; "@rtp", "@interface" and "@port" fall back on
    // the defaults element (which may be Element::none). On a problem returns false with the
    // reason in *problem: an unresolvable address, an unknown rtp mode or a source that is not an
    // address.
    bool read(const Gantry::XML::Element& definition, const Gantry::XML::Element& defaults,
              std::string* problem);
    // Sets address and port, and the other attributes when they are set (rtp other than auto).
    void describe(Gantry::XML::Element& source) const;

    bool multicast() const { return address.is_multicast(); }
};

// Opens a socket bound to the source's address and port and, for a group, joins it on the chosen
// interface (with the source filter when one is set); the socket receives only the groups it
// joined itself. Returns null when the socket could not be made or bound (*problem empty) or the
// join failed (*problem says why: an unknown interface, or the system's error text).
std::unique_ptr<Gantry::Net::UDPSocket> open_source(const SourceSettings& source,
                                                    std::string* problem);
// Leaves what open_source joined.
void leave_source(Gantry::Net::UDPSocket& socket, const SourceSettings& source);

}  // namespace Corvid::Capture
