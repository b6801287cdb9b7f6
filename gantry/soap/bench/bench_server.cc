// The two servers soap_vs_http.sh compares, in one process on 127.0.0.1:
//   SOAP: a SOAP::Server from its configuration element, with one trivial handler at "/soap";
//   bare: a Web::SimpleHTTPServer whose "/soap" handler sends the SOAP server's answer, fixed.
// Both log as the daemon does by default (up to summary level, here to nowhere).
//
//   gantry_soap_bench_server SOAP_PORT BARE_PORT ENVELOPE_FILE
//
// Prints "ready" once both listen and serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>

#include "gantry/init/sequence.h"
#include "gantry/log/log.h"
#include "gantry/message/message.h"
#include "gantry/soap/soap.h"
#include "gantry/xml/parser.h"

namespace {

using namespace Gantry;

struct Trivial : Message::Handler {
    explicit Trivial(XML::Element& config)
        : Handler(config, Message::PRODUCT_NAMESPACE, Message::PRODUCT_PREFIX, "bench", true) {}
    std::string handle(const XML::Element& request, const Message::SourceContext&,
                       XML::Element& response) const override {
        response.add("cv:id", request.get_attr("id"));
        return {};
    }
};
Message::Registration<Trivial> registration(Message::handler_registry(), "bench");

class Fixed : public Web::URLHandler {
  public:
    explicit Fixed(std::string body) : URLHandler("/soap"), body_(std::move(body)) {}
    bool handle_request(Web::HTTPMessage&, Web::HTTPMessage& response,
                        const SSL::ClientDetails&) override {
        response.headers.put_header("content-type", "text/xml; charset=utf-8");
        response.body = body_;
        return true;
    }

  private:
    const std::string body_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOAP_PORT BARE_PORT ENVELOPE_FILE\n", argv[0]);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::ostream nowhere(nullptr);
    Log::StreamChannel output(nowhere);
    Log::LevelFilter level(output, Log::summary_level);
    Log::logger.connect(level);

    Init::Sequence::instance().run();
    Message::Broker broker;
    XML::Parser parser;
    SOAP::Server soap(parser.read(std::string("<soap><server address='127.0.0.1' port='") +
                                  argv[1] + "'/></soap>"),
                      broker, "soap-bench");
    broker.configure(parser.read("<messages><bench><soap url='/soap'/></bench></messages>"));

    // The bare server's body: what the SOAP server answers to the envelope.
    std::ifstream file(argv[3]);
    Web::HTTPMessage request, answer;
    request.method = "POST";
    request.body.assign(std::istreambuf_iterator<char>(file), {});
    XML::Element config("bench");
    Trivial handler(config);
    SOAP::MessageTransportURLHandler(request.url.str(), handler)
        .handle_request(request, answer, SSL::ClientDetails{});
    if (soap.end_points().empty() || answer.code != 200) {
        std::fprintf(stderr, "SOAP server not listening, or answer %d\n", answer.code);
        return 1;
    }

    Web::SimpleHTTPServer bare(Net::IPAddress("127.0.0.1"),
                               static_cast<uint16_t>(std::atoi(argv[2])), "soap-bench");
    if (!bare.listening()) {
        std::fprintf(stderr, "bare server cannot listen on port %s\n", argv[2]);
        return 1;
    }
    bare.add(std::make_unique<Fixed>(answer.body));
    Net::TCPServerThread thread(bare);
    std::printf("ready %zu\n", answer.body.size());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    Log::logger.disconnect(level);
    return 0;
}
