// The HTTP endpoints served in-process on 127.0.0.1 and judged by tools we did not write: ffmpeg
// plays the HLS, promtool checks the metrics, xmllint validates the XMLTV, Python reads the JSON.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "capture/http_endpoints.h"
#include "capture/http_hls.h"
#include "capture/server.h"
#include "capture/tests/playlist_folder.h"
#include "capture/tests/source_netns.h"
#include "gantry/init/sequence.h"
#include "gantry/net/tcp_server.h"
#include "gantry/web/simple_http_server.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture::Testing {
namespace {

namespace Net = Gantry::Net;

struct Http {
    Gantry::Web::SimpleHTTPServer server{Net::IPAddress("127.0.0.1"), 0, "test", 5};
    Net::TCPServerThread thread{server};
    // "<code> <body>" of curl with the given options and path.
    std::string get(const std::string& path, const std::string& options = "") {
        return run_command("curl -s --path-as-is --max-time 20 -w ' %{http_code}' " + options +
                           " " + shell_quote(url(path)));
    }
    std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(server.port()) + path;
    }
};

TEST(HttpHls, FfmpegPlaysOverHttpAndNothingOutsideTheSegmentsIsServed) {
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    CORVID_REQUIRE_PROGRAM("curl");
    CORVID_REQUIRE_STREAM(stream, "h264-idr2s.ts");
    SegmentFolder folder;
    ASSERT_TRUE(folder.make(stream, {0, 7}));
    Http http;
    http.server.add(std::make_unique<HlsHandler>(
        [&](const std::string& id, PlaylistSettings& out) {
            out = folder.settings;
            return id == "ch1";
        },
        2 << 20));
    const std::string range = "?start=2026-03-01T10:00:01Z&end=2026-03-01T10:00:10Z";
    for (const char* list : {"/hls/ch1.m3u8", "/hls/ch1/iframes.m3u8"}) {
        int status = -1;
        EXPECT_EQ(run_command("ffmpeg -v error -i " + shell_quote(http.url(list + range)) +
                                  " -f null - 2>&1",
                              &status),
                  "")
            << list;
        EXPECT_EQ(status, 0) << list;
    }

    const std::string leaf = folder.paths[0].substr(folder.paths[0].rfind('/') + 1);
    const std::string seg = "/hls/ch1/" + leaf;
    ASSERT_EQ(
        ::symlink("/etc/hostname", folder.settings.naming.file_name(t0 + Duration(3600)).c_str()),
        0);
    const std::string link = seg.substr(0, seg.size() - 11) + "11_00_00.ts";
    const std::vector<uint8_t> bytes = read_file(folder.paths[0]);
    const std::string head(bytes.begin() + 10, bytes.begin() + 20);
    const std::string size = std::to_string(bytes.size());
    const std::string cases[][3] = {
        {"/hls/ch1.m3u8", "", " 400"},  // no start
        {"/hls/ch1.m3u8?start=yesterday", "", " 400"},
        {"/hls/ch1.m3u8" + range.substr(0, 26) + "&end=2026-03-01T09:00:00Z", "", " 400"},
        {"/hls/ch2.m3u8" + range, "", " 404"},
        {"/hls/ch1.m3u8?start=2027-01-01T00:00:00Z", "", " 404"},
        {"/hls/..%2F..%2Fetc.m3u8" + range, "", " 400"},
        {"/hls/ch1/../../../../etc/passwd", "", " 404"},
        {"/hls/ch1/..%2F..%2Fetc%2Fpasswd", "", " 404"},
        {seg + ".cvi2", "", " 404"},
        {link, "", " 404"},  // a symlink named like a segment
        {seg, "-r 10-19", head + " 206"},
        {seg, "-r 0-100000000 -o /dev/null", " 206"},  // shortened to the 2 MiB limit
        {seg, "", " 400"},                             // too large without a range
        {seg, "-r 5-2", " 400"},
        {seg, "-r " + size + "-", " 416"},
        {seg, "-X POST", " 405"},
    };
    for (const auto& [path, options, expected] : cases)
        EXPECT_EQ(http.get(path, options), expected) << path << " " << options;
    EXPECT_NE(http.get(seg, "-r -5 -D -")
                  .find("-range: bytes " + std::to_string(bytes.size() - 5) + "-" +
                        std::to_string(bytes.size() - 1) + "/" + size),
              std::string::npos);
}

// Through the service's own SOAP server, as the daemon runs them: handlers count their requests.
TEST(HttpMetricsXmltvJson, ToolsAcceptWhatTheServiceServes) {
    CORVID_REQUIRE_PROGRAM("curl");
    CORVID_REQUIRE_PROGRAM("promtool");
    CORVID_REQUIRE_PROGRAM("xmllint");
    Gantry::Init::Sequence::instance().run();
    TempDir dir;
    Server server;
    // The service takes its ports from the configuration.
    const std::string port = std::to_string(free_port(true)),
                      guide_port = std::to_string(free_port());
    Gantry::XML::Configuration configuration("");
    ASSERT_TRUE(configuration.read_text(
        "<captured><captures><default><file prefix='" + dir.path() +
            "/'/></default></captures><epg><streams><stream id='guide'><source "
            "address='127.0.0.1' port='" +
            guide_port + "'/></stream></streams></epg><soap><server address='127.0.0.1' port='" +
            port +
            "'/><http metrics='yes' xmltv='yes' page='yes'/></soap><messages><capture-remove><soap "
            "url='/remove'/></capture-remove></messages></captured>",
        "captured"));
    server.apply_config(configuration);
    ASSERT_EQ(server.begin_run(), 0);
    Gantry::XML::Element a("capture"), b("capture");
    a.merge_xml("<capture id='a\"b'><source address='127.0.0.1' port='0'/></capture>");
    b.merge_xml("<capture id='quiet'><source address='127.0.0.1' port='0'/></capture>");
    ASSERT_TRUE(server.add_capture(b, true));
    b.set_attr("id", "never");
    ASSERT_TRUE(server.add_capture(b, true));
    ASSERT_FALSE(server.add_capture(a, true));  // ids are names of files: no quotes
    a.set_attr("id", "busy");
    ASSERT_TRUE(server.add_capture(a, true));
    Net::EndPoint to;
    server.with_capture("busy", [&](Capture& c) { to = c.local_end_point(); });
    Net::UDPSocket sender;
    const std::string packet(7 * 188, '\xff');
    for (int i = 0; i < 20; i++)
        sender.send_to(packet.data(), packet.size(), 0, {Net::IPAddress("127.0.0.1"), to.port()});
    for (int i = 0; i < 5; i++)
        sender.send_to(packet.data(), packet.size(), 0,
                       {Net::IPAddress("127.0.0.1"), static_cast<uint16_t>(std::stoi(guide_port))});
    server.epg_store().add_service("busy", Duration(86400), 7, "P", "Seven <&>");
    server.epg_store().add_event(7, 1, Stamp::now(), Duration(1800), "News & \"weather\"", "d");
    const std::string base = "http://127.0.0.1:" + port;
    run_command(
        "curl -s --data-binary \"<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/"
        "envelope/'><e:Body><cv:capture-remove-request xmlns:cv='urn:corvid:capture:1' "
        "id='quiet'/></e:Body></e:Envelope>\" " +
        base + "/remove");

    std::string metrics;
    const std::string file = dir.file("metrics.txt");
    const auto complete = [&] {
        return metrics.find("{capture=\"busy\"} 20\n") != std::string::npos &&
               metrics.find("{epg_capture=\"guide\"} 5\n") != std::string::npos;
    };
    for (int i = 0; i < 200 && !complete(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        run_command("curl -s -o " + file + " " + base + "/metrics");
        const std::vector<uint8_t> text = read_file(file);
        metrics.assign(text.begin(), text.end());
    }
    for (const char* sample :
         {"cv_capture_datagrams_total{capture=\"busy\"} 20\n",
          "cv_capture_received_bytes_total{capture=\"busy\"} 26320\n",
          "cv_capture_datagrams_total{capture=\"quiet\"} 0\n", "cv_guide_events 1\n",
          "cv_epg_capture_datagrams_total{epg_capture=\"guide\"} 5\n",
          "cv_epg_capture_ring_drops_total{epg_capture=\"guide\"} 0\n",
          "cv_requests_total{request=\"capture-remove\",transport=\"soap\"} 1\n",
          "cv_request_faults_total{request=\"capture-remove\",transport=\"soap\"} 1\n"})
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample;
    int status = -1;
    EXPECT_EQ(run_command("promtool check metrics < " + file + " 2>&1", &status), "");
    EXPECT_EQ(status, 0) << metrics;

    run_command("curl -s -o " + dir.file("tv.xml") + " " + base + "/xmltv");
    EXPECT_EQ(run_command("xmllint --noout --xpath 'string(/tv/programme/title)' " +
                          dir.file("tv.xml") + " 2>&1"),
              "News & \"weather\"\n");
    EXPECT_EQ(run_command("curl -s -o /dev/null -w '%{http_code}' " + base + "/hls/busy.m3u8"),
              "404");  // not enabled

    // The JSON view against the service's own state, field by field.
    run_command("curl -s -o " + dir.file("captures.json") + " " + base + "/api/captures");
    std::string expected;
    server.for_each_capture([&](const Capture& c) {
        const CaptureCounters& n = c.counters();
        const std::string started = c.started().iso().substr(0, 23);  // to the millisecond
        expected += c.id() + " " + (n.datagrams ? "recording" : "waiting") + " " +
                    std::to_string(n.datagrams) + " " + std::to_string(n.bytes) + " " +
                    std::to_string(c.settings().source.port) + " 3600 86400 " +
                    (started + " " + (n.datagrams ? "None" : started)) + "\n";
    });
    EXPECT_EQ(run_command("/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))\n"
                          "for c in d[\"captures\"]: print(c[\"id\"], c[\"state\"], "
                          "c[\"counters\"][\"datagrams\"], c[\"counters\"][\"bytes\"], "
                          "c[\"source\"][\"port\"], c[\"segment_length_seconds\"], "
                          "c[\"retention_seconds\"], c[\"started\"][:23], c[\"quiet_since\"] and "
                          "c[\"quiet_since\"][:23])\n"
                          "print(d[\"epg_captures\"][0][\"id\"], d[\"endpoints\"])' " +
                          dir.file("captures.json") + " 2>&1"),
              expected +
                  "guide {'metrics': True, 'hls': False, 'xmltv': True, 'json': True, "
                  "'page': True}\n");
    Playlist playlist;
    const bool playable =
        server.playlist("busy", Stamp::now(), Stamp::now() + Duration(1800), false, playlist);
    EXPECT_EQ(run_command("curl -s " + base +
                          "/api/guide?hours=1 | /usr/bin/python3 -c 'import json,sys; "
                          "e=json.load(sys.stdin)[\"services\"][0][\"events\"][0]; "
                          "print(e[\"name\"], e[\"duration_seconds\"], e[\"capture\"])'"),
              std::string("News & \"weather\" 1800 ") + (playable ? "True" : "False") + "\n");
    const std::string bad[][2] = {
        {"/api/guide?start=yesterday", " 400"},
        {"/api/guide?hours=0", " 400"},
        {"/api/guide?hours=49", " 400"},
        {"/api/guide?hours=2x", " 400"},
        {"/api/nothing", " 404"},
        {"/page/../api/captures", " 404"},
        {"/page/page.js.map", " 404"},
    };
    for (const auto& [path, code] : bad)
        EXPECT_EQ(run_command("curl -s --path-as-is -w ' %{http_code}' " + base + path), code)
            << path;
    EXPECT_EQ(
        run_command("curl -s -X POST -o /dev/null -w '%{http_code}' " + base + "/api/captures"),
        "405");
    // The page is the one in the source tree, whole.
    const std::vector<uint8_t> page = read_file(source_dir() + "/capture/page/index.html");
    EXPECT_EQ(run_command("curl -s " + base + "/"), std::string(page.begin(), page.end()));
    server.finish();
}

}  // namespace
}  // namespace Corvid::Capture::Testing
