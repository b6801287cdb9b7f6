// The bus client as the daemon runs it: handlers served through the Python bus server
// tools/cv-bus, whose client mode sends the requests, through a restart of the server, with
// every worker busy, and with requests left waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "gantry/init/sequence.h"
#include "gantry/message/message.h"
#include "gantry/text/text.h"
#include "gantry/trellis/trellis.h"
#include "gantry/tube/tests/bus_server.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"

namespace Gantry::Trellis {
namespace {

namespace M = Gantry::Message;
using namespace Corvid::Testing;
using std::chrono::milliseconds;

std::atomic<int> blocked{0};
std::atomic<bool> release{false};

// test-echo answers with the request's text, test-ack only acknowledges and test-block waits
// for release first; each returns its "fail" attribute as the error text.
template <bool RESPONDS, bool BLOCKS>
struct TestHandler : M::Handler {
    explicit TestHandler(XML::Element& config)
        : Handler(config, M::PRODUCT_NAMESPACE, M::PRODUCT_PREFIX, config.name(), RESPONDS) {}
    std::string handle(const XML::Element& request, const M::SourceContext& source,
                       XML::Element& response) const override {
        for (++blocked; BLOCKS && !release;)
            std::this_thread::sleep_for(milliseconds(5));
        --blocked;
        const auto* bus = dynamic_cast<const MessageSource*>(&source);
        if (source.source() != "#trellis" || source.port() != -1 || !bus ||
            bus->message().content().name() != request.name())
            return "no source";
        if (RESPONDS) response.add("cv:echo", request.get_content());
        return request.get_attr("fail");
    }
};
M::Registration<TestHandler<true, false>> echo(M::handler_registry(), "test-echo");
M::Registration<TestHandler<false, false>> ack(M::handler_registry(), "test-ack");
M::Registration<TestHandler<false, true>> block(M::handler_registry(), "test-block");

// Takes requests on "test.silent.request" and never answers them.
struct Silent : Subscriber {
    explicit Silent(MultiClient& client) : Subscriber(client, "test.silent.request") { connect(); }
    ~Silent() override { disconnect(); }
    void handle(const Message&) override { ++calls; }
    std::atomic<int> calls{0};
};

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 400 && !condition(); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    return condition();
}

// The handlers on a client of a bus server, which comes only with come_up() when asked to wait.
struct Bus {
    explicit Bus(milliseconds request_timeout = milliseconds(20000), bool wait = false,
                 std::string server_args = "")
        : server_args(std::move(server_args)) {
        Init::Sequence::instance().run();
        release = false;
        port = BusServer().port();  // free again now
        if (!wait) come_up();
        XML::Parser parser;
        client = start(parser.read("<trellis><server host='127.0.0.1' port='" +
                                   std::to_string(port) + "'/></trellis>"),
                       broker, {{milliseconds(50), milliseconds(20), 1}, request_timeout});
        broker.configure(parser.read(
            "<messages><test-echo><trellis subject='test.echo'/></test-echo><test-ack><trellis "
            "subject='test.ack'/></test-ack><test-block><trellis subject='test.block'/>"
            "</test-block></messages>"));
    }
    ~Bus() {
        broker.shutdown();
        client->shutdown();
    }
    // A request in the background that no one answers; its result once it is given up.
    std::thread silent_request(bool& result) {
        return std::thread([this, &result] {
            Message message("test.silent.request", std::make_unique<XML::Element>("q"));
            std::unique_ptr<Message> response;
            result = client->request(message, response);
        });
    }

    void come_up() { server.emplace(server_args + " --away 0.2 --port " + std::to_string(port)); }

    LogCapture log;
    const std::string server_args;
    int port;
    std::optional<BusServer> server;
    M::Broker broker;
    std::unique_ptr<MultiClient> client;
};

// cv-bus request SUBJECT '<p:NAME xmlns:p="..."REST' [more arguments]
std::string request(const Bus& bus, const std::string& subject, const std::string& name,
                    const std::string& rest, int* status = nullptr, const std::string& more = "") {
    return bus.server->client(
        "request " + subject + " " +
            shell_quote("<p:" + name + " xmlns:p='" + M::PRODUCT_NAMESPACE + "'" + rest) + more,
        status);
}

TEST(TrellisClient, ServesHandlersWithResponseAcknowledgementAndFault) {
    Bus bus;
    ASSERT_TRUE(bus.client);
    struct Case {
        const char* subject;
        const char* name;
        const char* rest;
        int status;
        const char* answer;
    } cases[] = {
        {"test.echo.request", "test-echo-request", ">hi</p:test-echo-request>", 0,
         "subject: test.echo.response\n<cv:test-echo-response xmlns:cv=\"urn:corvid:capture:1\">"
         "<cv:echo>hi</cv:echo></cv:test-echo-response>\n"},
        {"test.ack.request", "test-ack-request", "/>", 0,
         "subject: trellis.ok\n<x:ok xmlns:x=\"urn:gantry:trellis:1\"></x:ok>\n"},
        {"test.echo.request", "test-echo-request", " fail='Could not echo'/>", 1,
         "Could not echo</env:Text>"},
        {"test.echo.request", "test-echo", "/>", 1, "Bad document name</env:Text>"},
    };
    for (const Case& c : cases) {
        int status = -1;
        const std::string out = request(bus, c.subject, c.name, c.rest, &status);
        EXPECT_EQ(status, c.status) << out;
        EXPECT_NE(out.find(c.answer), std::string::npos) << out;
        EXPECT_EQ(out.find("<env:Value>env:Sender</env:Value>") != std::string::npos,
                  c.status == 1);
    }
    bus.server->client("send --ref 0123 test.ack.request '<x/>'");
    EXPECT_TRUE(
        eventually([&] { return bus.log.has_line("1 Response with unknown ref ignored: 0123"); }));
}

TEST(TrellisClient, ResubscribesWhenTheServerComesBack) {
    Bus bus;
    Silent silent(*bus.client);
    bool answered = true;
    std::thread pending = bus.silent_request(answered);
    ASSERT_TRUE(eventually([&] { return silent.calls == 1; }));
    ASSERT_TRUE(bus.server->bounce());
    pending.join();  // at once, not after the 20 s timeout
    EXPECT_FALSE(answered);
    EXPECT_TRUE(bus.log.has_line("1 Request for test.silent.request failed: connection restarted"));
    EXPECT_TRUE(bus.log.has_line("1 GXMP (recv): Socket EOF"));
    EXPECT_TRUE(bus.log.has_line("2 GXMP (recv): Attempting to restart socket"));
    ASSERT_TRUE(
        eventually([&] { return bus.log.has_line("2 Transport restarted - resubscribing"); }));
    release = true;
    // Every subject joined again: each is served.
    for (const std::string name : {"test.echo", "test.ack", "test.block"}) {
        int status = -1;
        EXPECT_TRUE(eventually([&] {
            request(bus, name + ".request", Text::substitute(name, ".", "-") + "-request", "/>",
                    &status);
            return status == 0;
        })) << name;
    }
    EXPECT_EQ(bus.log.count("Error response to resubscribe"), 0u);
}

TEST(TrellisClient, SubscribesWhenTheServerComesAfterTheClient) {
    Bus bus(milliseconds(20000), true);
    for (const char* line : {"Sending request failed", "Unable to subscribe for test.echo.request"})
        EXPECT_TRUE(bus.log.contains(line, 1)) << line;
    bus.come_up();
    ASSERT_TRUE(
        eventually([&] { return bus.log.has_line("2 Transport restarted - resubscribing"); }));
    int status = -1;
    EXPECT_TRUE(eventually([&] {
        request(bus, "test.echo.request", "test-echo-request", "/>", &status);
        return status == 0;
    }));
}

TEST(TrellisClient, LogsRefusedSubscriptions) {
    Bus bus(milliseconds(20000), false, "--misbehave refuse-join --misbehave-count 2");
    EXPECT_TRUE(bus.log.has_line("1 SOAP Fault: Subscription refused (env:Receiver)"));
    EXPECT_TRUE(bus.log.has_line("1 Unable to subscribe for test.ack.request"));
    ASSERT_TRUE(bus.server->bounce());
    EXPECT_TRUE(eventually([&] { return bus.log.count("Error response to resubscribe:") == 3; }));
    EXPECT_TRUE(bus.log.contains("Subscription refused</env:Text>"));
}

TEST(TrellisClientDeathTest, AbortsOnASubscriberDeletedWhileConnected) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Careless : Subscriber {
        using Subscriber::Subscriber;
        void handle(const Message&) override {}
    };
    Bus bus;
    EXPECT_DEATH(Careless(*bus.client, "test.careless").connect(),
                 "Trellis Subscriber deleted through destructor, not disconnect");
}

TEST(TrellisClient, QueuesTheEleventhRequestWhileTenWorkersAreBusy) {
    Bus bus;
    std::string out;
    std::thread requests([&] {
        out =
            request(bus, "test.block.request", "test-block-request", "/>", nullptr, " --repeat 11");
    });
    ASSERT_TRUE(eventually([&] { return blocked == 10; }));
    EXPECT_TRUE(bus.log.has_line(
        "1 Trellis client has no spare workers - 'test.block.request' message queued"));
    EXPECT_EQ(bus.client->worker_count(), 10u);
    release = true;
    requests.join();
    size_t oks = 0;
    for (size_t at = 0; (at = out.find("subject: trellis.ok", at)) != std::string::npos; ++at)
        ++oks;
    EXPECT_EQ(oks, 11u) << out;
}

TEST(TrellisClient, RequestsEndByTimeoutOrShutdown) {
    Bus bus(milliseconds(100));
    Silent silent(*bus.client);
    bool answered = true;
    bus.silent_request(answered).join();
    EXPECT_FALSE(answered);
    EXPECT_TRUE(bus.log.has_line("1 Request for test.silent.request failed: timed out"));

    std::thread pending = bus.silent_request(answered = true);
    ASSERT_TRUE(eventually([&] { return silent.calls == 2; }));
    bus.client->shutdown();
    pending.join();
    EXPECT_FALSE(answered);
    EXPECT_TRUE(bus.log.has_line("1 Request for test.silent.request failed: client shut down"));
}

TEST(TrellisMessage, CarriesARandomIdAndTheRoutingBlock) {
    Message first("a.b", nullptr, true, "0123"), second("a.b", nullptr);
    EXPECT_TRUE(first.id().size() == 32 &&
                first.id().find_first_not_of("0123456789abcdef") == std::string::npos)
        << first.id();
    EXPECT_NE(first.id(), second.id());
    std::ostringstream errors;
    auto parsed = Message::parse(
        Text::substitute(Text::substitute(first.to_string(), "x:", "bus:"), "xmlns:x", "xmlns:bus"),
        errors);
    ASSERT_TRUE(parsed) << errors.str();
    EXPECT_EQ(parsed->id() + parsed->subject() + parsed->ref(), first.id() + "a.b0123");
    EXPECT_TRUE(parsed->rsvp());
    EXPECT_FALSE(second.rsvp() || second.envelope().to_string().find("x:ref") != std::string::npos);
    const auto blocks = parsed->header_blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].role == SOAP::ROLE_NEXT && blocks[0].must_understand && blocks[0].relay);
    EXPECT_FALSE(Message::parse("<env:Envelope xmlns:env='" + std::string(SOAP::SOAP_1_2_ENVELOPE) +
                                    "'><env:Body/></env:Envelope>",
                                errors));
}

TEST(TrellisClient, StartsOnlyWithAResolvableHost) {
    LogCapture log;
    M::Broker broker;
    XML::Parser parser;
    EXPECT_FALSE(start(parser.read("<trellis><server port='1'/></trellis>"), broker));
    EXPECT_FALSE(start(parser.read("<trellis><server host='256.1.1.1'/></trellis>"), broker));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"1 Can't resolve Trellis host: 256.1.1.1"});
    EXPECT_EQ(broker.transport_count("trellis"), 0u);
}

}  // namespace
}  // namespace Gantry::Trellis
