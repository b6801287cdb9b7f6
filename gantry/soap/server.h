// The SOAP server: an HTTP server (and, given a TLS context, an HTTPS server) for SOAP requests,
// built from the "soap" element of the service configuration:
//
//     <soap>
//       <server port="8080" address="0.0.0.0"/>      port 0 or absent: no HTTP server
//       <ssl-server port="8443"/>                    needs a TLS context
//     </soap>
//
// Addresses default to "localhost", so remote clients reach the daemon only when one is set.
// Each server started adds a SOAP::MessageTransport named "soap" to the broker, through which
// the broker's handlers are registered on it.
//
// Lifetime: the broker may delete its transports before or after this object; requests stop
// reaching handlers when either goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gantry/message/broker.h"
#include "gantry/net/ssl.h"
#include "gantry/net/tcp_server.h"
#include "gantry/web/simple_http_server.h"
#include "gantry/xml/element.h"

namespace Gantry::SOAP {

class Server {
  public:
    // Seconds a connection may stay silent.
    static constexpr int SOCKET_TIMEOUT = 90;

    // config may be Element::none (no servers). server_id goes in the "server" header of every
    // response. tls (not owned) must outlive the server. description, if given, is served at each
    // handler's URL with "?wsdl" (see MessageTransportURLHandler).
    Server(const XML::Element& config, Gantry::Message::Broker& broker, std::string server_id,
           SSL::Context* tls = nullptr, std::shared_ptr<const std::string> description = nullptr);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The servers running, in the order started (HTTP first).
    std::vector<Net::EndPoint> end_points() const;
    // The same servers, for URL handlers beside the SOAP ones.
    std::vector<std::shared_ptr<Web::SimpleHTTPServer>> http_servers() const;

  private:
    struct Running {
        std::shared_ptr<Web::SimpleHTTPServer> http;
        std::unique_ptr<Net::TCPServerThread> thread;
    };

    void start(const XML::Element& settings, const char* kind, Gantry::Message::Broker& broker,
               const std::string& server_id, SSL::Context* tls,
               const std::shared_ptr<const std::string>& description);

    std::vector<Running> running_;
};

}  // namespace Gantry::SOAP
