// The client end of a TCP connection, connected by the constructor.
#pragma once

#include <cstdint>

#include "gantry/net/tcp_socket.h"

namespace Gantry::Net {

class TCPClient : public TCPSocket {
  public:
    // Connects to the remote end point. With a timeout (seconds, > 0) the connect gives up after
    // it; the send and receive timeouts are back at 0 (none) afterwards. A local address or port
    // other than 0 is bound first; a ttl above 0 is set as IP_TTL. The socket stays open only
    // when the connection succeeded. Never throws.
    explicit TCPClient(const EndPoint& remote, int timeout = 0,
                       IPAddress local_address = IPAddress(IPAddress::ANY), uint16_t local_port = 0,
                       int ttl = 0);
    ~TCPClient() override = default;

    bool connected() const { return connected_; }

  protected:
    void set_connected(bool connected) { connected_ = connected; }

  private:
    bool connect(const EndPoint& remote, int timeout);

    bool connected_ = false;
};

}  // namespace Gantry::Net
