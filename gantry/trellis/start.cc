#include <utility>

#include "gantry/log/stream.h"
#include "gantry/net/address.h"
#include "gantry/trellis/trellis.h"

namespace Gantry::Trellis {

std::unique_ptr<MultiClient> start(const XML::Element& trellis, Gantry::Message::Broker& broker,
                                   Options options) {
    const XML::Element& server = trellis.get_child("server");
    const std::string host = server.get_attr("host");
    if (host.empty()) return nullptr;
    const int port = server.get_attr_int("port", DEFAULT_PORT);
    const Net::IPAddress address(host);
    if (!address.valid()) {
        Log::Error() << "Can't resolve Trellis host: " << host << std::endl;
        return nullptr;
    }
    const Net::EndPoint end_point(address, static_cast<uint16_t>(port));
    Log::Summary() << "Connecting to Trellis at " << end_point << std::endl;
    auto client = std::make_unique<MultiClient>(
        std::make_unique<GXMPClientTransport>(end_point, "GXMP", options.tube), options);
    broker.add_transport(std::make_unique<MessageTransport>(*client));
    return client;
}

}  // namespace Gantry::Trellis
