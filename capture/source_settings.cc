#include "capture/source_settings.h"

#include <cerrno>
#include <cstring>

#include "gantry/xml/element.h"
#include "gantry/xml/path_query.h"

namespace Corvid::Capture {

namespace XML = Gantry::XML;
using Gantry::Net::IPAddress;
using Gantry::Net::UDPSocket;

namespace {

constexpr std::string_view RTP_NAMES[] = {"auto", "yes", "no"};

}  // namespace

std::string_view rtp_mode_name(RtpMode mode) {
    return RTP_NAMES[static_cast<int>(mode)];
}

bool SourceSettings::read(const XML::Element& definition, const XML::Element& defaults,
                          std::string* problem) {
    // The queries only read.
    const XML::PathQuery own(const_cast<XML::Element&>(definition));
    const XML::PathQuery fallback(const_cast<XML::Element&>(defaults));
    const auto layered = [&](std::string_view path, std::string_view def) {
        return own.get_value(path, fallback.get_value(path, def));
    };

    address_text = own.get_value("source/@address");
    address = address_text.empty() ? IPAddress() : IPAddress(std::string_view(address_text));
    if (!address.valid()) {
        *problem = "bad source address: " + address_text;
        return false;
    }
    port = static_cast<uint16_t>(
        own.get_value_int("source/@port", fallback.get_value_int("source/@port", 0)));

    const std::string rtp_text = layered("source/@rtp", "auto");
    bool known = false;
    for (size_t i = 0; i < std::size(RTP_NAMES) && !known; i++)
        if (rtp_text == RTP_NAMES[i]) {
            rtp = static_cast<RtpMode>(i);
            known = true;
        }
    if (!known) {
        *problem = "bad source rtp: " + rtp_text + " (auto, yes or no)";
        return false;
    }
    interface = layered("source/@interface", "");

    // Only a dotted address: a sender's name could resolve to another sender later.
    source_text = own.get_value("source/@source");
    source = IPAddress();
    if (!source_text.empty()) {
        if (source_text.find_first_not_of("0123456789.") == std::string::npos)
            source = IPAddress(std::string_view(source_text));
        if (!source.valid()) {
            *problem = "bad source sender: " + source_text + " (a dotted address)";
            return false;
        }
    }
    return true;
}

void SourceSettings::describe(XML::Element& element) const {
    element.set_attr("address", address.dotted());
    element.set_attr_int("port", port);
    if (rtp != RtpMode::AUTO) element.set_attr("rtp", std::string(rtp_mode_name(rtp)));
    if (!interface.empty()) element.set_attr("interface", interface);
    if (source.valid()) element.set_attr("source", source.dotted());
}

std::unique_ptr<UDPSocket> open_source(const SourceSettings& settings, std::string* problem) {
    problem->clear();
    auto socket = std::make_unique<UDPSocket>(settings.address, settings.port, true);
    if (!socket->valid()) return nullptr;
    if (!settings.multicast()) return socket;
    unsigned index = 0;
    if (!settings.interface.empty() &&
        (index = UDPSocket::interface_index(settings.interface)) == 0) {
        *problem = "no interface " + settings.interface;
        return nullptr;
    }
    // Another socket's join of the group, on another interface or for another sender, must not
    // reach this one.
    socket->set_multicast_all(false);
    if (!socket->join_group(settings.address, index, settings.source)) {
        *problem = std::strerror(errno);
        return nullptr;
    }
    return socket;
}

void leave_source(UDPSocket& socket, const SourceSettings& settings) {
    if (!settings.multicast()) return;
    // The interface may have gone since the join; closing the socket leaves then.
    const unsigned index =
        settings.interface.empty() ? 0 : UDPSocket::interface_index(settings.interface);
    if (settings.interface.empty() || index)
        socket.leave_group(settings.address, index, settings.source);
}

}  // namespace Corvid::Capture
