#include "gantry/soap/server.h"

#include "gantry/log/log.h"
#include "gantry/soap/message_transport.h"

namespace Gantry::SOAP {

Server::Server(const XML::Element& config, Gantry::Message::Broker& broker, std::string server_id,
               SSL::Context* tls, std::shared_ptr<const std::string> description) {
    start(config.get_child("server"), "HTTP", broker, server_id, nullptr, description);
    const XML::Element& secure = config.get_child("ssl-server");
    if (secure.get_attr_int("port") == 0) return;
    if (tls == nullptr) {
        Log::Error() << "SSL server requested but no SSL context established" << std::endl;
        return;
    }
    start(secure, "HTTPS", broker, server_id, tls, description);
}

Server::~Server() {
    for (Running& server : running_) {
        server.thread.reset();
        server.http->shutdown();
    }
}

void Server::start(const XML::Element& settings, const char* kind, Gantry::Message::Broker& broker,
                   const std::string& server_id, SSL::Context* tls,
                   const std::shared_ptr<const std::string>& description) {
    const int port = settings.get_attr_int("port");
    if (port == 0) return;
    const std::string address = settings.get_attr("address", "localhost");
    Log::Summary() << "Starting " << kind << " SOAP server at " << address << ":" << port
                   << std::endl;
    Web::HTTPServer::Options options;
    options.timeout = SOCKET_TIMEOUT;
    options.backlog = 5;
    options.minimum_spare = 1;
    options.max_workers = 10;
    options.tls = tls;
    std::shared_ptr<Web::SimpleHTTPServer> http;
    if (port > 0 && port <= 0xFFFF) {
        http = std::make_shared<Web::SimpleHTTPServer>(
            Net::IPAddress(address), static_cast<uint16_t>(port), server_id, options);
    }
    if (!http || !http->listening()) {
        // Without a transport, handlers naming "soap" report that none matches.
        Log::Error() << "Cannot listen for SOAP requests at " << address << ":" << port
                     << std::endl;
        return;
    }
    broker.add_transport(std::make_unique<MessageTransport>(http, description));
    running_.push_back({http, std::make_unique<Net::TCPServerThread>(*http)});
}

std::vector<Net::EndPoint> Server::end_points() const {
    std::vector<Net::EndPoint> points;
    for (const Running& server : running_)
        points.push_back(server.http->end_point());
    return points;
}

std::vector<std::shared_ptr<Web::SimpleHTTPServer>> Server::http_servers() const {
    std::vector<std::shared_ptr<Web::SimpleHTTPServer>> servers;
    for (const Running& server : running_)
        servers.push_back(server.http);
    return servers;
}

}  // namespace Gantry::SOAP
