// The request handlers as clients reach them in cv-captured: over SOAP (curl, and zeep built from
// the served WSDL) and over the bus (tools/cv-bus), answers judged by XPath (xmllint).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "capture/segment_name.h"
#include "capture/tests/source_netns.h"
#include "epg/epg_store.h"
#include "gantry/tube/tests/bus_server.h"

namespace Corvid::Capture {
namespace {

using namespace Corvid::Testing;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

// As subreaper this process inherits the program the shell starts, to reap it.
const int subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1);

std::string dotted(std::string name) {
    std::replace(name.begin(), name.end(), '-', '.');
    return name;
}
// What an XPath expression over the answer gives, with the prefixes of its elements dropped.
std::string xpath(const std::string& answer, const std::string& expression) {
    std::string value = run_command("printf %s " + shell_quote(answer) +
                                    " | sed -E 's/<(\\/?)[a-z0-9]+:/<\\1/g' | xmllint --xpath " +
                                    shell_quote(expression) + " - 2>&1");
    if (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

// A request document: <cv:NAME-request ATTRIBUTES>CONTENT</cv:NAME-request>.
std::string request(const std::string& name, const std::string& attributes,
                    const std::string& content = "") {
    return "<cv:" + name + "-request " + attributes + ">" + content + "</cv:" + name + "-request>";
}
std::string name_of(const std::string& document) {
    return document.substr(4, document.find("-request") - 4);
}

// cv-captured with every request at /NAME over SOAP and NAME (dotted) over the bus, as far as
// its settings start those transports; with a permanent capture "rec" that recorded a segment
// 30 s ago and a guide of three events for it, unless bare.
struct ControlTest : testing::Test {
    void SetUp() override {
        if (stream.empty()) GTEST_SKIP() << "shared test data not found: testdata/ts/video";
        std::filesystem::copy_file(stream, recorded);
        ASSERT_EQ(run_command(tool_path("cv-index") + " build " + recorded + " && echo built"),
                  "built\n");
        EPGStore store;
        store.add_service("rec", Duration(3600), 256, "Provider", "Rec One");
        store.add_event(256, 12, recorded_at + Duration(0.5), Duration(1), "Covered", "");
        store.add_event(256, 13, now - Duration(20), Duration(600), "Running", "");
        store.add_event(256, 4464, now + Duration(1800), Duration(1800), "Later", "");
        ASSERT_TRUE(store.save(dir.file("epg.xml")));
    }
    // With SOAP and the bus as asked; up once they answer.
    void start(bool soap, bool bus_too, bool bare = false) {
        std::string settings =
            "<captured><background daemon='no'/><log level='3'/><daemon><pid file='" +
            dir.file("pid") + "'/></daemon><captures><storage roots='" + dir.path() +
            "'/><default><file prefix='" + dir.path() + "/'/><index suffix='.cvi2'/></default>";
        if (!bare) settings += "<capture id='rec'>" + source + "</capture>";
        settings +=
            "</captures><epg><disk file='" + dir.file(bare ? "none" : "epg.xml") + "'/></epg>";
        if (soap) settings += "<soap><server address='127.0.0.1' port='" + soap_port + "'/></soap>";
        if (bus_too)
            settings += "<trellis><server host='127.0.0.1' port='" + std::to_string(bus.port()) +
                        "'/></trellis>";
        settings += "<messages>";
        for (std::string name :
             {"capture-start", "capture-stop", "capture-list", "capture-add", "capture-remove",
              "capture-playlist", "capture-epg-services", "capture-epg-listing"})
            settings += "<" + name + "><soap url='/" + name + "'/><trellis subject='" +
                        dotted(name) + "'/></" + name + ">";
        write_file(config, settings + "</messages></captured>");
        pid = std::atoi(run_command(shell_quote(tool_path("cv-captured")) + " " + config + " >" +
                                    log + " & echo $!")
                            .c_str());
        ASSERT_GT(pid, 1);
        const std::string list = request("capture-list", "");
        ASSERT_TRUE(eventually([&] {
            return (!soap || !over_soap(list).empty()) &&
                   (!bus_too || over_bus(list).starts_with("<cv:"));
        }));
    }
    // The program ends cleanly on SIGTERM.
    void stop() {
        int status = -1;
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, &status, 0);
        EXPECT_TRUE(pid <= 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
        pid = -1;
    }
    void TearDown() override { stop(); }
    size_t logged(const std::string& text) const {
        return std::stoul(run_command("grep -cF -e " + shell_quote(text) + " " + log + " || true"));
    }
    // Each request goes to the handler its document names.
    std::string over_soap(const std::string& document) const {
        return run_command("curl -s --max-time 10 --data-binary " +
                           shell_quote("<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/"
                                       "envelope/' xmlns:cv='urn:corvid:capture:1'><e:Body>" +
                                       document + "</e:Body></e:Envelope>") +
                           " http://127.0.0.1:" + soap_port + "/" + name_of(document));
    }
    // The body of the answer, without cv-bus's subject line.
    std::string over_bus(std::string document) const {
        document.insert(document.find_first_of(" />"), " xmlns:cv='urn:corvid:capture:1'");
        std::string answer = bus.client("request --timeout 2 " + dotted(name_of(document)) +
                                        ".request " + shell_quote(document) + " 2>&1");
        return answer.erase(0, answer.find('\n') + 1);
    }

    TempDir dir;
    std::string config = dir.file("captured.cfg.xml"), log = dir.file("log");
    const std::string stream = shared_path("testdata/ts/video/tsduck-test-025.ts");
    const Stamp now = Stamp::now();
    // In whole seconds, as segment names have them.
    const Stamp recorded_at = Stamp::from_unix((now - Duration(30)).unix_seconds());
    const std::string recorded =
        SegmentNaming{dir.path() + "/", "rec", ".ts", ".cvi2"}.file_name(recorded_at);
    const std::string soap_port = std::to_string(free_port(true)),
                      source = "<source address='127.0.0.1' port='" + std::to_string(free_port()) +
                               "'/>";
    BusServer bus;
    pid_t pid = -1;
};

TEST_F(ControlTest, EveryCaseThroughBothTransports) {
    start(true, true);
    const std::string ext = "<source address='127.0.0.1' port='" + std::to_string(free_port()) +
                            "'/><start mode='external'/>";
    const std::string t = (recorded_at + Duration(0.5)).iso(),
                      t1 = (recorded_at + Duration(1.5)).iso(), from = (now - Duration(60)).iso(),
                      to = (now + Duration(3600)).iso();
    const std::string fault = "string(//Text)", ok = "local-name(//ok)";
    auto playlist = [](const std::string& content) {
        return request("capture-playlist", "", "<cv:channel>rec</cv:channel>" + content);
    };
    const struct {
        std::string document, expression, value, log;
    } rows[] = {
        {request("capture-epg-services", ""),
         "concat(//epg-service/@service-id, ' ', //epg-service/@history-length, ' ', "
         "//epg-service/@name)",
         "256 01:00:00 Rec One", "Capture EPG services request"},
        {request("capture-add", "id='dyn'", ext), ok, "ok", "Add capture request"},
        {request("capture-add", "id='dyn'", ext), fault, "Could not add capture",
         "Can't add capture 'dyn' - duplicate id "},
        {request("capture-add", "id='evil'", "<file prefix='/etc/cv-evil-'/>" + ext), fault,
         "Could not add capture", "file prefix outside the storage roots"},
        {request("capture-start", ""), fault, "Could not start capture",
         "Start capture request for capture id , path [default], duration 00:00:00"},
        {request("capture-start", "id='rec'"), fault, "Could not start capture",
         "Request denied to start capturing on auto mode capture id 'rec'"},
        {request("capture-start", "id='dyn'", dir.path() + "/../cv-escape.ts"), fault,
         "Could not start capture", "path outside the storage roots"},
        {request("capture-start", "id='dyn' duration='1 hour'"), ok, "ok",
         "Start capture request for capture id dyn, path [default], duration 01:00:00"},
        {request("capture-list", ""),
         "concat(count(//capture), //capture[@id='rec']/@id, //capture[@id='dyn']//event/@action)",
         "2recstop", "Capture list request"},
        {request("capture-stop", "id='dyn'"), ok, "ok", "Stop capture request for channel dyn"},
        {request("capture-remove", "id='rec'"), fault, "Could not remove capture",
         "Can't remove capture 'rec' - not created dynamically"},
        {request("capture-remove", "id='dyn'"), ok, "ok", "Removed capture 'dyn'"},
        // The event wins over the times, and its id is read as far as it is a number.
        {playlist("<cv:event>12abc</cv:event><cv:start>" + t1 + "</cv:start>"),
         "concat(count(//file), ' ', //file/@path)", "1 " + recorded,
         "Capture playlist request for channel rec event 12"},
        {playlist("<cv:event>70000</cv:event>"), fault,
         "No capture for channel rec for requested event id 70000",
         "Capture playlist request for channel rec event 4464"},
        {playlist("<cv:start>" + t + "</cv:start><cv:end>tomorrow</cv:end>"), fault,
         "Unrecognised format for end time: tomorrow", "with badly formatted end time tomorrow"},
        {playlist("<cv:start>" + t + "</cv:start><cv:duration>0 seconds</cv:duration>"), fault,
         "Unrecognised format for duration: 0 seconds", "with badly formatted duration 0 seconds"},
        {playlist(""), fault, "No event or start time\n",
         "Capture playlist request channel rec with no event or start time"},
        {playlist("<cv:start>" + t + "</cv:start><cv:duration>1 second</cv:duration>"),
         "concat(count(//file), ' ', //start/@time, ' ', //end/@time, ' ', //start/@npt)",
         "1 " + t + " " + t1 + " 0.5",
         "Capture playlist request for channel rec at " + t + " until " + t1},
        {request("capture-epg-listing", "",
                 "<cv:services><cv:service id='rec'/></cv:services><cv:start time='" + from +
                     "'/><cv:end time='" + to + "'/>"),
         "concat(//epg-service/@id, ' ', //epg-event[@id=12]/@capture, ' ', "
         "//epg-event[@id=13]/@capture, ' ', //epg-event[@id=4464]/@capture)",
         "rec true false false", "Capture EPG listing request from " + from + " to " + to},
        {request("capture-epg-listing", ""), "concat(count(//epg-event), //epg-event/@name)",
         "1Running", ""},
    };
    for (const bool soap : {true, false}) {
        for (const auto& row : rows) {
            SCOPED_TRACE((soap ? "SOAP " : "bus ") + row.document);
            const std::string answer = soap ? over_soap(row.document) : over_bus(row.document);
            std::string value = row.value;
            if (!soap && value.back() == '\n') value.pop_back();  // cv-bus prints text stripped
            EXPECT_EQ(xpath(answer, row.expression), value) << answer;
            EXPECT_GT(logged(row.log), 0u) << row.log;
        }
    }
    // Nothing was written where the refused requests pointed.
    EXPECT_EQ(run_command("ls /etc/cv-evil-* " + dir.path() + "/../cv-escape.ts 2>/dev/null"), "");
}

// zeep builds a client of each request from the WSDL served at its URL and makes all eight.
TEST_F(ControlTest, ZeepFromTheServedWSDL) {
    if (run_command("/usr/bin/python3 -c 'import zeep; print(1)' 2>/dev/null") != "1\n")
        GTEST_SKIP() << "python3-zeep is not installed for /usr/bin/python3";
    start(true, true);
    EXPECT_EQ(
        run_command("/usr/bin/python3 " + source_dir() + "/capture/tests/control_zeep.py " +
                    "http://127.0.0.1:" + soap_port + " " + std::to_string(free_port()) + " " +
                    (recorded_at + Duration(0.5)).iso() + " 2>&1"),
        "capture-list rec\ncapture-epg-services Rec One\ncapture-epg-listing Rec One: Running\n"
        "capture-add ok\ncapture-start ok\ncapture-stop ok\ncapture-playlist 1 file(s) from NPT "
        "0.5 to 1.5\ncapture-remove ok\n");
}

// Without "soap" and "trellis" settings no request gets through, and each handler says so for
// each transport it names; with SOAP alone, an empty service answers with empty lists.
TEST_F(ControlTest, TransportsAsTheSettingsHaveThem) {
    start(false, false, true);
    EXPECT_TRUE(eventually([&] { return logged("No matching message transport: ") == 16; }));
    EXPECT_EQ(logged("No matching message transport: soap"), 8u);
    stop();
    start(true, false, true);
    EXPECT_EQ(run_command("curl -s -D - -o /dev/null http://127.0.0.1:" + soap_port +
                          "/capture-list | grep -ci '^server: Corvid captured SOAP server'"),
              "1\n");
    const std::string list = over_soap(request("capture-list", "")),
                      services = over_soap(request("capture-epg-services", ""));
    EXPECT_EQ(xpath(list, "concat(count(//capture-list-response), count(//capture))"), "10");
    EXPECT_EQ(xpath(services, "concat(count(//epg-services), count(//epg-service))"), "10");
}

}  // namespace
}  // namespace Corvid::Capture
