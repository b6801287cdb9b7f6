// Request round trips per second through the Python bus server tools/cv-bus, next to the same
// requests over SOAP on HTTP, in one run: one trivial handler served by both transports of one
// broker; the requesters are a second bus client (its request()) and keep-alive HTTP
// connections, one per requester thread. Compare the rates as ratios.
//
//   build/bench/gantry_trellis_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "gantry/init/sequence.h"
#include "gantry/log/log.h"
#include "gantry/message/message.h"
#include "gantry/soap/server.h"
#include "gantry/trellis/trellis.h"
#include "gantry/tube/tests/bus_server.h"
#include "gantry/xml/parser.h"

namespace {

using namespace Gantry;
namespace M = Gantry::Message;

struct Trivial : M::Handler {
    explicit Trivial(XML::Element& config)
        : Handler(config, M::PRODUCT_NAMESPACE, M::PRODUCT_PREFIX, "bench", true) {}
    std::string handle(const XML::Element& request, const M::SourceContext&,
                       XML::Element& response) const override {
        response.add("cv:id", request.get_attr("id"));
        return {};
    }
};
M::Registration<Trivial> registration(M::handler_registry(), "bench");

const char* const REQUEST = "<cv:bench-request xmlns:cv='urn:corvid:capture:1' id='bench-0001'/>";

// Both servers and the bus requester, made once for every benchmark.
struct Setup {
    Setup() {
        Init::Sequence::instance().run();
        Log::logger.connect(level);
        XML::Parser parser;
        const std::string port = std::to_string(bus.port());
        serving = Trellis::start(
            parser.read("<trellis><server host='127.0.0.1' port='" + port + "'/></trellis>"),
            broker);
        soap = std::make_unique<SOAP::Server>(
            parser.read("<soap><server address='127.0.0.1' port='" + free_port() + "'/></soap>"),
            broker, "bench");
        broker.configure(parser.read(
            "<messages><bench><soap url='/soap'/><trellis subject='bench'/></bench></messages>"));
        requester =
            std::make_unique<Trellis::MultiClient>(std::make_unique<Trellis::GXMPClientTransport>(
                Net::EndPoint(Net::IPAddress("127.0.0.1"), uint16_t(bus.port())), "bench"));
    }
    ~Setup() {
        requester->shutdown();
        broker.shutdown();
        serving->shutdown();
    }
    static std::string free_port() {
        Net::TCPSocket probe;
        probe.bind(Net::IPAddress("127.0.0.1"), 0);
        return std::to_string(probe.local_end_point().port());
    }

    std::ostream nowhere{nullptr};
    Log::StreamChannel output{nowhere};
    Log::LevelFilter level{output, Log::summary_level};
    Corvid::Testing::BusServer bus;
    M::Broker broker;
    std::unique_ptr<Trellis::MultiClient> serving;
    std::unique_ptr<SOAP::Server> soap;
    std::unique_ptr<Trellis::MultiClient> requester;
};

Setup& setup() {
    static Setup instance;
    return instance;
}

void BM_Bus(benchmark::State& state) {
    Setup& s = setup();
    XML::Parser parser;
    for (auto _ : state) {
        Trellis::Message message("bench.request", parser.read(REQUEST).deep_copy());
        std::unique_ptr<Trellis::Message> response;
        if (!s.requester->request(message, response) ||
            response->content().get_child("cv:id").get_content() != "bench-0001")
            state.SkipWithError("no answer over the bus");
    }
    state.SetItemsProcessed(state.iterations());
}

// One POST per round trip on a keep-alive connection.
void BM_SOAP(benchmark::State& state) {
    Setup& s = setup();
    const std::string body = std::string(
                                 "<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/"
                                 "envelope/'><e:Body>") +
                             REQUEST + "</e:Body></e:Envelope>";
    const std::string post =
        "POST /soap HTTP/1.1\r\nHost: bench\r\nContent-Type: text/xml\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    Net::TCPClient connection(s.soap->end_points().at(0));
    std::string in;
    for (auto _ : state) {
        connection.write(post);
        size_t end, length;
        while ((end = in.find("\r\n\r\n")) == std::string::npos ||
               in.size() < end + 4 + (length = std::stoul(in.substr(in.find("ength: ") + 7))))
            if (!connection.read_to_string(in)) return state.SkipWithError("connection closed");
        if (in.find("bench-0001") == std::string::npos) state.SkipWithError("no answer over SOAP");
        in.erase(0, end + 4 + length);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Bus)->Threads(1)->Threads(10)->UseRealTime();
BENCHMARK(BM_SOAP)->Threads(1)->Threads(10)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
