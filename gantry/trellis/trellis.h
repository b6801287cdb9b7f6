// Gantry::Trellis: the client of a "Trellis" message bus, through which requests reach the
// message handlers under subjects (transport "trellis"), with the capture service's start-up:
//
//     <trellis><server host="bus.example" port="29167"/></trellis>
//
// and, per handler, <capture-list><trellis subject="capture.list"/></capture-list>, which
// subscribes the handler to "capture.list.request".
#pragma once

#include <memory>

#include "gantry/message/broker.h"
#include "gantry/trellis/message.h"
#include "gantry/trellis/message_transport.h"
#include "gantry/trellis/multi_client.h"
#include "gantry/trellis/options.h"
#include "gantry/xml/element.h"

namespace Gantry::Trellis {

inline constexpr int DEFAULT_PORT = 29167;

// Connects a client to the server the element names and adds a MessageTransport "trellis" on it
// to the broker. Null, creating nothing, when the element names no host ("server/@host" empty)
// or the host does not resolve ("Can't resolve Trellis host: " logged). The caller owns the
// client: it shuts it down and deletes it after the broker has shut down (which deletes the
// transport).
std::unique_ptr<MultiClient> start(const XML::Element& trellis, Gantry::Message::Broker& broker,
                                   Options options = {});

}  // namespace Gantry::Trellis
