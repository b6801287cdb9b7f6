#include "gantry/message/broker.h"

#include <gtest/gtest.h>

#include "gantry/init/sequence.h"
#include "gantry/message/namespaces.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"

namespace Gantry::Message {
namespace {

int live_handlers = 0;

struct CountedHandler : Handler {
    explicit CountedHandler(XML::Element& config)
        : Handler(config, PRODUCT_NAMESPACE, PRODUCT_PREFIX, "counted", !config.has_attr("ack")) {
        ++live_handlers;
    }
    ~CountedHandler() override { --live_handlers; }
    std::string handle(const XML::Element&, const SourceContext&, XML::Element&) const override {
        return {};
    }
};
Registration<CountedHandler> registration(handler_registry(), "counted");

struct NullFactory : Init::Factory<Handler, XML::Element&> {
    std::unique_ptr<Handler> create(XML::Element&) override { return nullptr; }
} null_factory;

// Records what it was given, and whether the handlers still lived when it was deleted.
struct RecordingTransport : Transport {
    RecordingTransport(std::string name, std::vector<std::string>& log)
        : Transport(std::move(name)), log(log) {}
    ~RecordingTransport() override {
        log.push_back(name() + " deleted, handlers " + std::to_string(live_handlers));
    }
    void register_handler(Handler& handler, XML::Element& config) override {
        log.push_back(name() + " " + handler.config_name() + " " + config.get_attr("url"));
    }
    std::vector<std::string>& log;
};

TEST(Broker, CreatesHandlersByNameAndAttachesThemToTheNamedTransports) {
    Init::Sequence::instance().run();
    handler_registry().add("null", &null_factory);
    Corvid::Testing::LogCapture log;
    std::vector<std::string> calls;
    Broker broker;
    for (const char* name : {"soap", "soap", "other"})
        broker.add_transport(std::make_unique<RecordingTransport>(name, calls));
    XML::Parser parser;
    broker.configure(parser.read(
        "<messages> <counted><soap url='/a'/><trellis/></counted> <nothing><soap/></nothing>"
        "<null/> <counted ack='yes'/> </messages>"));
    EXPECT_EQ(calls, (std::vector<std::string>{"soap counted /a", "soap counted /a"}));
    EXPECT_EQ(log.errors(),
              (std::vector<std::string>{"No matching message transport: trellis",
                                        "Failed to create message handler from XML:", "<nothing>",
                                        "  <soap/>", "</nothing>",
                                        "Failed to create message handler from XML:", "<null/>"}));
    EXPECT_EQ(broker.handler_count(), 2u);
    EXPECT_EQ(live_handlers, 2);
    broker.shutdown();
    EXPECT_EQ(calls.back(), "other deleted, handlers 2") << "transports go before handlers";
    EXPECT_EQ(live_handlers, 0);
    EXPECT_EQ(broker.transport_count("soap"), 0u);
}

TEST(Handler, ResponseIsTheNamedDocumentOrAnAcknowledgement) {
    XML::Element config("counted");
    EXPECT_EQ(CountedHandler(config).request_element_name(), "cv:counted-request");
    EXPECT_EQ(CountedHandler(config).create_response()->to_string(),
              "<cv:counted-response xmlns:cv=\"urn:corvid:capture:1\"/>\n");
    config.set_attr("ack", "yes");
    EXPECT_EQ(CountedHandler(config).create_response()->to_string(),
              "<cv:ok xmlns:cv=\"urn:corvid:capture:1\"/>\n");
}

}  // namespace
}  // namespace Gantry::Message
