// The request handlers as clients reach them in the cv-captured program: over SOAP (curl, and
// zeep built from the served WSDL) and over the bus (tools/cv-bus), with a recorded segment and
// a guide.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "capture/segment_name.h"
#include "epg/epg_store.h"
#include "gantry/net/tcp_socket.h"
#include "gantry/net/udp_socket.h"
#include "gantry/tube/tests/bus_server.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using namespace Corvid::Testing;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 100 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return condition();
}
int free_tcp_port() {
    Gantry::Net::TCPSocket probe;
    probe.bind(Gantry::Net::IPAddress("127.0.0.1"), 0);
    return probe.local_end_point().port();
}
int free_udp_port() {
    return Gantry::Net::UDPSocket(Gantry::Net::IPAddress("127.0.0.1"), 0).local_end_point().port();
}
const char* const REQUESTS[] = {"capture-start",        "capture-stop",       "capture-list",
                                "capture-add",          "capture-remove",     "capture-playlist",
                                "capture-epg-services", "capture-epg-listing"};
std::string subject_of(std::string name) {
    std::replace(name.begin(), name.end(), '-', '.');
    return name;
}
// Each request at /NAME over SOAP and with the subject NAME in dots over the bus.
std::string messages() {
    std::string text = "<messages>";
    for (std::string name : REQUESTS)
        text += "<" + name + "><soap url='/" + name + "'/><trellis subject='" + subject_of(name) +
                "'/></" + name + ">";
    return text + "</messages>";
}
// What an XPath expression over the answer gives, elements named without their namespace.
std::string xpath(const std::string& answer, std::string expression) {
    for (size_t at = 0; (at = expression.find("//", at)) != std::string::npos;) {
        const size_t end = expression.find_first_of("[/)", at + 2);
        const std::string name =
            "//*[local-name()='" + expression.substr(at + 2, end - at - 2) + "']";
        expression.replace(at, end - at, name);
        at += name.size();
    }
    std::string value = run_command("printf %s " + shell_quote(answer) + " | xmllint --xpath " +
                                    shell_quote(expression) + " - 2>&1");
    if (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

// cv-captured with a permanent capture "rec" that recorded a segment 30 s ago and a guide of
// three events for it; its control interface as each test starts it.
struct ControlTest : testing::Test {
    void SetUp() override {
        if (stream.empty()) GTEST_SKIP() << "shared test data not found: testdata/ts/video";
        const SegmentNaming naming{dir.path() + "/", "rec", ".ts", ".cvi2"};
        recorded = naming.file_name(recorded_at);
        write_file(recorded, std::string(stream.begin(), stream.end()));
        int status = -1;
        run_command(shell_quote(tool_path("cv-index")) + " build " + shell_quote(recorded),
                    &status);
        ASSERT_EQ(status, 0);
        EPGStore store;
        store.add_service("rec", Duration(3600), 256, "Provider", "Rec One");
        store.add_event(256, 12, recorded_at + Duration(0.5), Duration(1), "Covered",
                        "Fully recorded");
        store.add_event(256, 13, now - Duration(20), Duration(100), "Running", "Now");
        store.add_event(256, 4464, now + Duration(1800), Duration(1800), "Later", "Future");
        ASSERT_TRUE(store.save(dir.file("epg.xml")));
    }
    void start(const std::string& transports) {
        write_file(config,
                   "<captured><background daemon='no'/><log level='3'/><daemon><pid file='" +
                       dir.file("pid") + "'/></daemon><captures><storage roots='" + dir.path() +
                       "'/><default><file prefix='" + dir.path() +
                       "/'/><index suffix='.cvi2'/></default><capture id='rec'><source "
                       "address='127.0.0.1' port='" +
                       std::to_string(free_udp_port()) +
                       "'/></capture></captures><epg><disk file='" + dir.file("epg.xml") +
                       "'/></epg>" + transports + messages() + "</captured>");
        std::string program = tool_path("cv-captured");
        char* argv[] = {program.data(), config.data(), nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&files);
    }
    // Up once both transports answer.
    void start_with_transports() {
        start("<soap><server address='127.0.0.1' port='" + std::to_string(soap_port) +
              "'/></soap><trellis><server host='127.0.0.1' port='" + std::to_string(bus.port()) +
              "'/></trellis>");
        ASSERT_TRUE(eventually([&] {
            return !over_soap("capture-list", "<cv:capture-list-request/>").empty() &&
                   over_bus("capture-list", "<cv:capture-list-request/>").starts_with("<cv:");
        }));
    }
    void TearDown() override {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        int status = -1;
        if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // How many lines of the program's log hold text.
    size_t logged(const std::string& text) const {
        const std::vector<uint8_t> bytes = read_file(log);
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        size_t n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find(text) != std::string::npos;
        return n;
    }
    std::string over_soap(const std::string& name, const std::string& document) const {
        return run_command(
            "curl -s --max-time 10 --data-binary " +
            shell_quote("<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/' "
                        "xmlns:cv='urn:corvid:capture:1'><e:Body>" +
                        document + "</e:Body></e:Envelope>") +
            " http://127.0.0.1:" + std::to_string(soap_port) + "/" + name);
    }
    // The answer's body element, without cv-bus's subject line.
    std::string over_bus(const std::string& name, std::string document) const {
        document.insert(document.find_first_of(" />"), " xmlns:cv='urn:corvid:capture:1'");
        std::string answer = bus.client("request --timeout 2 " + subject_of(name) + ".request " +
                                        shell_quote(document) + " 2>&1");
        return answer.erase(0, answer.find('\n') + 1);
    }

    TempDir dir;
    std::string config = dir.file("captured.cfg.xml"), log = dir.file("log");
    const std::vector<uint8_t> stream =
        read_file(shared_path("testdata/ts/video/tsduck-test-025.ts"));
    const Stamp now = Stamp::now();
    // Whole seconds, as segment names have them.
    const Stamp recorded_at = Stamp::from_unix((now - Duration(30)).unix_seconds());
    std::string recorded;
    const int soap_port = free_tcp_port();
    BusServer bus;
    pid_t pid = -1;
};

TEST_F(ControlTest, EveryCaseThroughBothTransports) {
    start_with_transports();
    const std::string ext = "<source address='127.0.0.1' port='" + std::to_string(free_udp_port()) +
                            "'/><start mode='external'/>";
    const std::string t = (recorded_at + Duration(0.5)).iso();
    const std::string window = "<cv:start time='" + (now - Duration(60)).iso() +
                               "'/><cv:end time='" + (now + Duration(3600)).iso() + "'/>";
    const std::string fault = "string(//Text)", ok = "local-name(//ok)";
    auto request = [](const std::string& name, const std::string& inside) {
        return "<cv:" + name + "-request>" + inside + "</cv:" + name + "-request>";
    };
    auto playlist = [&](const std::string& inside) {
        return request("capture-playlist", "<cv:channel>rec</cv:channel>" + inside);
    };
    struct {
        std::string name, document, expression, value, log;
    } rows[] = {
        {"capture-epg-services", "<cv:capture-epg-services-request/>",
         "concat(//epg-service/@service-id, ' ', //epg-service/@history-length, ' ', "
         "//epg-service/@name)",
         "256 01:00:00 Rec One", "Capture EPG services request"},
        {"capture-list", "<cv:capture-list-request/>", "concat(count(//capture), //capture/@id)",
         "1rec", "Capture list request"},
        {"capture-add", "<cv:capture-add-request id='dyn'>" + ext + "</cv:capture-add-request>", ok,
         "ok", "Add capture request"},
        {"capture-add", "<cv:capture-add-request id='dyn'>" + ext + "</cv:capture-add-request>",
         fault, "Could not add capture", "Can't add capture 'dyn' - duplicate id "},
        {"capture-add",
         "<cv:capture-add-request id='evil'><file prefix='/etc/cv-evil-'/>" + ext +
             "</cv:capture-add-request>",
         fault, "Could not add capture", "file prefix outside the storage roots"},
        {"capture-start", "<cv:capture-start-request/>", fault, "Could not start capture",
         "Start capture request for capture id , path [default], duration 00:00:00"},
        {"capture-start", "<cv:capture-start-request id='rec'/>", fault, "Could not start capture",
         "Request denied to start capturing on auto mode capture id 'rec'"},
        {"capture-start",
         "<cv:capture-start-request id='dyn'>" + dir.path() + "/../cv-escape.ts" +
             "</cv:capture-start-request>",
         fault, "Could not start capture", "path outside the storage roots"},
        {"capture-start", "<cv:capture-start-request id='dyn' duration='1 hour'/>", ok, "ok",
         "Start capture request for capture id dyn, path [default], duration 01:00:00"},
        {"capture-list", "<cv:capture-list-request/>",
         "concat(count(//capture), //capture[@id='dyn']/schedule/event/@action)", "2stop", ""},
        {"capture-stop", "<cv:capture-stop-request id='dyn'/>", ok, "ok",
         "Stop capture request for channel dyn"},
        {"capture-stop", "<cv:capture-stop-request id='nope'/>", fault, "Could not stop capture",
         "Can't find channel ID nope in captures"},
        {"capture-remove", "<cv:capture-remove-request id='rec'/>", fault,
         "Could not remove capture", "Can't remove capture 'rec' - not created dynamically"},
        {"capture-remove", "<cv:capture-remove-request id='dyn'/>", ok, "ok",
         "Removed capture 'dyn'"},
        // The event wins over the times, and its id is read as far as it is a number.
        {"capture-playlist",
         playlist("<cv:event>12abc</cv:event><cv:start>" + (now - Duration(3600)).iso() +
                  "</cv:start>"),
         "concat(count(//file), ' ', //file/@path)", "1 " + recorded,
         "Capture playlist request for channel rec event 12"},
        {"capture-playlist", playlist("<cv:event>70000</cv:event>"), fault,
         "No capture for channel rec for requested event id 70000",
         "Capture playlist request for channel rec event 4464"},
        {"capture-playlist", playlist("<cv:start>" + t + "</cv:start><cv:end>tomorrow</cv:end>"),
         fault, "Unrecognised format for end time: tomorrow",
         "with badly formatted end time tomorrow"},
        {"capture-playlist",
         playlist("<cv:start>" + t + "</cv:start><cv:duration>0 seconds</cv:duration>"), fault,
         "Unrecognised format for duration: 0 seconds", "with badly formatted duration 0 seconds"},
        {"capture-playlist", playlist(""), fault, "No event or start time\n",
         "Capture playlist request channel rec with no event or start time"},
        {"capture-playlist", playlist("<cv:start>soon</cv:start>"), fault,
         "Unrecognised format for start time: soon", "with badly formatted start time soon"},
        {"capture-playlist",
         playlist("<cv:start>" + t + "</cv:start><cv:duration>1 second</cv:duration>"),
         "concat(count(//file), ' ', //start/@time, ' ', //end/@time, ' ', //start/@npt)",
         "1 " + t + " " + (recorded_at + Duration(1.5)).iso() + " 0.5",
         "Capture playlist request for channel rec at " + t + " until " +
             (recorded_at + Duration(1.5)).iso()},
        {"capture-epg-listing",
         request("capture-epg-listing",
                 "<cv:services><cv:service id='rec'/></cv:services>" + window),
         "concat(//epg-service/@id, ' ', //epg-event[@id=12]/@capture, ' ', "
         "//epg-event[@id=13]/@capture, ' ', //epg-event[@id=4464]/@capture, ' ', "
         "//epg-event[@id=12]/@duration)",
         "rec true false false 00:00:01",
         "Capture EPG listing request from " + (now - Duration(60)).iso() + " to " +
             (now + Duration(3600)).iso()},
        {"capture-epg-listing", "<cv:capture-epg-listing-request/>",
         "concat(count(//epg-event), //epg-event/@name)", "1Running", ""},
        {"capture-epg-listing",
         request("capture-epg-listing",
                 "<cv:services><cv:service id='nope'/></cv:services>" + window),
         "concat(count(//epg-listing), count(//epg-service))", "10", ""},
    };
    for (const bool soap : {true, false}) {
        for (const auto& row : rows) {
            SCOPED_TRACE((soap ? "SOAP " : "bus ") + row.document);
            const std::string answer =
                soap ? over_soap(row.name, row.document) : over_bus(row.name, row.document);
            std::string value = row.value;
            if (!soap && value.back() == '\n') value.pop_back();  // cv-bus prints text stripped
            EXPECT_EQ(xpath(answer, row.expression), value) << answer;
            EXPECT_GT(logged(row.log), 0u) << row.log;
        }
    }
    // Nothing was written where the refused requests pointed.
    glob_t found;
    EXPECT_EQ(::glob("/etc/cv-evil-*", 0, nullptr, &found), GLOB_NOMATCH);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/../cv-escape.ts"));
    // The playlist's file is one a player reads.
    EXPECT_EQ(
        run_command("ffprobe -v error -show_entries stream=codec_type -of default=nw=1:nk=1 " +
                    shell_quote(recorded) + " 2>/dev/null | sort -u | tr '\\n' ' '"),
        "audio video ");
}

// zeep builds its client of each request from the WSDL served at the request's URL.
TEST_F(ControlTest, ZeepFromTheServedWSDL) {
    if (run_command("/usr/bin/python3 -c 'import zeep; print(1)' 2>/dev/null") != "1\n")
        GTEST_SKIP() << "python3-zeep is not installed for /usr/bin/python3";
    start_with_transports();
    const std::string base = "http://127.0.0.1:" + std::to_string(soap_port);
    EXPECT_EQ(run_command("/usr/bin/python3 " + source_dir() + "/capture/tests/control_zeep.py " +
                          base + " " + std::to_string(free_udp_port()) + " " +
                          (recorded_at + Duration(0.5)).iso() + " 2>&1"),
              "capture-list rec\n"
              "capture-epg-services Rec One\n"
              "capture-epg-listing Rec One: Running\n"
              "capture-add ok\n"
              "capture-add fault Could not add capture\n"
              "capture-list rec zeep\n"
              "capture-start ok\n"
              "capture-start fault Could not start capture\n"
              "capture-stop ok\n"
              "capture-playlist 1 file(s) from NPT 0.5 to 1.5\n"
              "capture-playlist fault No capture for channel rec for requested event id 70000\n"
              "capture-remove ok\n"
              "capture-remove fault Could not remove capture\n");
    // The one port names the URL the description was asked at, by the name the client used.
    const std::string wsdl = run_command("curl -s " + base + "/capture-stop?WSDL");
    EXPECT_EQ(xpath(wsdl, "concat(//port/@binding, ' ', //address/@location)"),
              "cv:capture-stop " + base + "/capture-stop");
}

// Without "soap" and "trellis" settings the program runs with no transport, and says so for each
// transport a handler names.
TEST_F(ControlTest, NoTransportWithoutTheirSettings) {
    start("");
    EXPECT_TRUE(eventually([&] { return logged("No matching message transport: ") == 16; }));
    EXPECT_EQ(logged("No matching message transport: soap"), 8u);
    EXPECT_EQ(logged("No matching message transport: trellis"), 8u);
    EXPECT_EQ(logged("Starting HTTP SOAP server"), 0u);
}

}  // namespace
}  // namespace Corvid::Capture
