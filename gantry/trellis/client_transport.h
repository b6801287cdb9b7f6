// How the bus client moves message texts: Trellis::ClientTransport, and its implementation over
// a Tube connection that carries only "GXMS" frames.
#pragma once

#include <string>

#include "gantry/net/address.h"
#include "gantry/tube/client.h"
#include "gantry/tube/frame.h"

namespace Gantry::Trellis {

inline constexpr uint32_t GXMS_TAG = Tube::make_tag("GXMS");

class ClientTransport {
  public:
    ClientTransport() = default;
    ClientTransport(const ClientTransport&) = delete;
    ClientTransport& operator=(const ClientTransport&) = delete;

    // Queues a text; false if it cannot be sent.
    virtual bool send(const std::string& text) = 0;
    // A received text is waiting.
    virtual bool poll() = 0;
    // Blocks for the next text; false when the connection restarted (the server may have
    // forgotten the subscriptions) or the transport shut down.
    virtual bool wait(std::string& text) = 0;
    virtual void shutdown() {}
    virtual ~ClientTransport() = default;
    // Whether a request sent now can be answered; one that cannot fails at once rather than
    // waiting out its timeout.
    virtual bool connected() const { return true; }
};

namespace GXMP {

// A Tube client for bus messages: a frame with any other tag means the stream is out of step.
class Client final : public Tube::Client {
  public:
    // Connects and starts the threads.
    Client(const Net::EndPoint& server, std::string name, Tube::Options options = {});
    ~Client() override;

    bool is_valid_tag(uint32_t tag) override { return tag == GXMS_TAG; }
};

}  // namespace GXMP

class GXMPClientTransport : public ClientTransport {
  public:
    GXMPClientTransport(const Net::EndPoint& server, std::string name, Tube::Options options = {})
        : client_(server, std::move(name), options) {}

    bool send(const std::string& text) override;
    bool poll() override { return client_.poll(); }
    bool wait(std::string& text) override;
    void shutdown() override { client_.shutdown(); }
    bool connected() const override { return client_.connected(); }

  private:
    GXMP::Client client_;
};

}  // namespace Gantry::Trellis
