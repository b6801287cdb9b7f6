// The HTTP endpoints for http_bench.sh: a service with COUNT captures (127.0.0.1, no traffic)
// (external mode, so nothing is pruned) whose files live under DIR, served with /metrics and /hls
// and /api on a port of the system's choosing, which it prints; runs until its standard input closes.
//
//   http-serve DIR COUNT
#include <iostream>
#include <string>

#include "capture/http_endpoints.h"
#include "capture/server.h"
#include "gantry/net/tcp_server.h"
#include "gantry/web/simple_http_server.h"
#include "gantry/xml/configuration.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: http-serve DIR COUNT\n";
        return 2;
    }
    const std::string dir = argv[1];
    std::string text = "<captured><captures><default><file prefix='" + dir +
                       "/'/><index suffix='.cvi2'/><start mode='external'/></default>";
    for (int i = 0; i < std::stoi(argv[2]); i++)
        text += "<capture id='ch" + std::to_string(i) +
                "'><source address='127.0.0.1' port='0'/></capture>";
    Gantry::XML::Configuration configuration("");
    if (!configuration.read_text(text + "</captures></captured>", "captured")) return 1;
    Corvid::Capture::Server server;
    server.apply_config(configuration);
    if (server.begin_run() != 0) return 1;

    Gantry::Web::SimpleHTTPServer http(Gantry::Net::IPAddress("127.0.0.1"), 0, "bench", 10);
    Corvid::Capture::add_http_endpoints(http, server, {true, true, false, true, false},
                                         "bench");
    Gantry::Net::TCPServerThread thread(http);
    std::cout << http.port() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
}
