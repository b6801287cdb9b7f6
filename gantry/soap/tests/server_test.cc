// The SOAP server as foreign clients see it: curl, python3-zeep and ten concurrent connections.
#include "gantry/soap/server.h"

#include <gtest/gtest.h>

#include <atomic>

#include "gantry/init/sequence.h"
#include "gantry/message/message.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::SOAP {
namespace {

namespace M = Gantry::Message;
using namespace Corvid::Testing;
std::atomic<int> calls{0};

// test-echo answers with the request's text, test-ack and test-any (no name) acknowledge; both
// return a "fail" attribute as the error text.
template <bool RESPONDS>
struct TestHandler : M::Handler {
    explicit TestHandler(XML::Element& config)
        : Handler(config, M::PRODUCT_NAMESPACE, M::PRODUCT_PREFIX,
                  config.get_attr("name", config.name()), RESPONDS) {}
    std::string handle(const XML::Element& request, const M::SourceContext& source,
                       XML::Element& response) const override {
        ++calls;
        if (source.source() != "127.0.0.1:" + std::to_string(source.port())) return "no source";
        if (RESPONDS) response.add("cv:echo", request.get_content());
        return request.get_attr("fail");
    }
};
M::Registration<TestHandler<true>> echo(M::handler_registry(), "test-echo");
M::Registration<TestHandler<false>> ack(M::handler_registry(), "test-ack");
M::Registration<TestHandler<false>> any(M::handler_registry(), "test-any");

struct Service {
    Service() {
        Init::Sequence::instance().run();
        const std::string port = [] {  // a free one: the configuration cannot ask for port 0
            Net::TCPSocket probe;
            probe.bind(Net::IPAddress("127.0.0.1"), 0);
            return std::to_string(probe.local_end_point().port());
        }();
        XML::Parser parser;
        server = std::make_unique<Server>(
            parser.read("<soap><server address='127.0.0.1' port='" + port +
                        "'/><ssl-server port='1'/></soap>"),
            broker, "soap-test", nullptr,
            std::make_shared<const std::string>("<d n='${name}' at='${location}' no='${none}'/>"));
        broker.configure(parser.read(
            "<messages><test-echo><soap url='/echo'/></test-echo><test-ack><soap url='/ack'/>"
            "</test-ack><test-any name=''><soap url='/any/*'/></test-any></messages>"));
        end_point = server->end_points().at(0).str();
    }
    std::string url(const std::string& path) const { return "http://" + end_point + path; }
    M::Broker broker;
    std::unique_ptr<Server> server;
    std::string end_point;
};

std::string soap11(const std::string& body) {
    return "<soapenv:Envelope xmlns:soapenv='http://schemas.xmlsoap.org/soap/envelope/' "
           "xmlns:p='urn:corvid:capture:1'><soapenv:Header/><soapenv:Body>" +
           body + "</soapenv:Body></soapenv:Envelope>";
}
std::string soap12(const std::string& body, const std::string& uri = "2003/05") {
    return "<s12:Envelope xmlns:s12='http://www.w3.org/" + uri + "/soap-envelope'><s12:Body>" +
           body + "</s12:Body></s12:Envelope>";
}

TEST(SOAPServer, AnswersCurlAsTheProtocolSays) {
    LogCapture log;
    Service service;
    EXPECT_TRUE(log.has_line("1 SSL server requested but no SSL context established"));
    const std::string ok = "<env:Body>\n    <cv:ok xmlns:cv=\"urn:corvid:capture:1\"/>\n";
    const std::string v11 = "200 text/xml; charset=utf-8";
    const std::string v12 = "200 application/soap+xml; charset=utf-8";
    const std::string bad_name = "Bad document name</env:Text>";
    struct {
        std::string path, body, status, needle, log;
    } rows[] = {
        {"/echo", soap11("<p:test-echo-request>hi</p:test-echo-request>"), v11,
         "<cv:test-echo-response xmlns:cv=\"urn:corvid:capture:1\">\n      <cv:echo>hi</cv:echo>",
         ""},
        {"/ack", soap12("<test-ack-request xmlns='urn:corvid:capture:1'/>"), v11, ok, ""},
        {"/ack", soap12("<q:test-ack-request xmlns:q='urn:corvid:capture:1'/>", "2002/12"), v11, ok,
         ""},
        {"/any/x", soap11("<p:whatever/>"), v11, ok, ""},
        {"/echo", soap12("<q:test-ack-request xmlns:q='urn:corvid:capture:1'/>"), v12, bad_name,
         "SOAP Fault: env:Sender: Bad document name"},
        {"/echo", soap11("<x:test-echo-request xmlns:x='urn:other'/>"), v12, bad_name, ""},
        {"/echo", soap11(""), v12, bad_name, ""},
        {"/ack", soap12("<p:test-ack-request xmlns:p='urn:corvid:capture:1' fail='No &amp;'/>"),
         v12, ">No &amp;</env:Text>", "SOAP Fault: env:Sender: No &"},
        {"/echo", "", "405 ", "", "SOAP server received bad request method: GET"},
        {"/echo?WSDL", "", v11, "<d n='test-echo' at='" + service.url("/echo") + "' no='${none}'/>",
         ""},
        {"/echo", "hello", "400 ", "", "XML Fatal Error: Non-tag data at start of document"},
        {"/echo", "<html/>", "400 ", "", "Incorrect SOAP envelope: html"},
        {"/echo", "<s:Envelope xmlns:s='http://www.w3.org/2003/05/soap-envelope'/>", "400 ", "",
         "SOAP message has no Body"},
        {"/nowhere", soap11(""), "404 ", "", "HTTP error: 404 Not found"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path + " " + row.body);
        const bool v12 = row.body.find("/soap-envelope'") != std::string::npos;
        std::string reply = run_command(
            std::string(
                "curl -s --max-time 20 -w '\\n%{http_code} %{content_type}' -H 'Content-Type: ") +
            (v12 ? "application/soap+xml' " : "text/xml' ") +
            (row.body.empty() ? "" : "--data-binary " + shell_quote(row.body) + " ") +
            shell_quote(service.url(row.path)));
        const auto split = reply.rfind('\n');
        EXPECT_EQ(reply.substr(split + 1), row.status);
        reply.resize(split);
        EXPECT_NE(reply.find(row.needle), std::string::npos) << reply;
        EXPECT_TRUE(log.contains(row.log)) << row.log;
        if (row.status[0] != '2') continue;  // the namespaces are right, as libxml2 sees them:
        EXPECT_EQ(run_command("printf %s " + shell_quote(reply) + " | xmllint --noout - 2>&1"), "");
    }
}

TEST(SOAPServer, ZeepReadsTheAnswerAndTheFault) {
    if (run_command("/usr/bin/python3 -c 'import zeep; print(1)' 2>/dev/null") != "1\n")
        GTEST_SKIP() << "python3-zeep is not installed for /usr/bin/python3";
    Service service;
    EXPECT_EQ(run_command("/usr/bin/python3 " + source_dir() +
                          "/gantry/soap/tests/zeep_client.py " + service.url("/echo") + " 2>&1"),
              "answer {urn:corvid:capture:1}test-echo-response from zeep\n"
              "fault env:Sender Could not start capture\n");
}

TEST(SOAPServer, TenConcurrentClientsGetTheirOwnAnswers) {
    Service service;
    const int before = calls.load();
    std::string clients;  // ten curls at once, each with twenty requests on one connection
    for (int c = 0; c < 10; ++c) {
        clients += "curl -s";
        for (int r = 0; r < 20; ++r)
            clients += (r ? " --next --data-binary " : " --data-binary ") +
                       shell_quote(soap11("<p:test-echo-request>" + std::to_string(c * 100 + r) +
                                          "</p:test-echo-request>")) +
                       " " + service.url("/echo");
        clients += " & ";
    }
    EXPECT_EQ(run_command("(" + clients + "wait) | grep -o '<cv:echo>[0-9]*<' | sort -u | wc -l"),
              "200\n");
    EXPECT_EQ(calls.load() - before, 200);
}

}  // namespace
}  // namespace Gantry::SOAP
