// The HTTP server as the request-rate comparison runs it: default options (ten workers at most),
// one handler answering "/hello" with a 100-byte body. Prints "port N" once listening and serves
// until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "gantry/net/tcp_server.h"
#include "gantry/web/simple_http_server.h"

namespace {

class HelloHandler : public Gantry::Web::URLHandler {
  public:
    HelloHandler() : URLHandler("/hello") {}
    bool handle_request(Gantry::Web::HTTPMessage&, Gantry::Web::HTTPMessage& response,
                        const Gantry::SSL::ClientDetails&) override {
        response.headers.add_header("content-type", "text/plain");
        response.body = body_;
        return true;
    }

  private:
    const std::string body_ = std::string(99, 'h') + "\n";
};

}  // namespace

int main(int argc, char** argv) {
    // Block the stop signals in every thread; main waits for them below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const int port = argc > 1 ? std::atoi(argv[1]) : 0;
    Gantry::Web::SimpleHTTPServer server(Gantry::Net::IPAddress("127.0.0.1"),
                                         static_cast<uint16_t>(port), "gantry-bench");
    if (!server.listening()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    server.add(std::make_unique<HelloHandler>());
    Gantry::Net::TCPServerThread thread(server);
    std::printf("port %u\n", server.port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
