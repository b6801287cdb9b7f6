#include "gantry/trellis/client_transport.h"

#include <utility>

namespace Gantry::Trellis {

GXMP::Client::Client(const Net::EndPoint& server, std::string name, Tube::Options options)
    : Tube::Client(server, std::move(name), options) {
    start();
}

GXMP::Client::~Client() {
    stop();
}

bool GXMPClientTransport::send(const std::string& text) {
    if (!client_.running()) return false;
    client_.send(Tube::Message{GXMS_TAG, 0, text});
    return true;
}

bool GXMPClientTransport::wait(std::string& text) {
    Tube::Message message;
    if (!client_.wait(message)) return false;
    text = std::move(message.data);
    return true;
}

}  // namespace Gantry::Trellis
