// A real capture sent to a group as 7-packet datagrams: the segments are the stream cut at
// multiples of the segment length, each live index is what cv-index makes of its segment offline.
// Multicast stays in a private network namespace, where the test re-runs itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "capture/capture.h"
#include "capture/tests/file_names.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

constexpr const char* NETNS_FLAG = "CORVID_CAPTURE_NETNS";
constexpr size_t DATAGRAM = 7 * 188;
constexpr uint64_t SEGMENT_SECONDS = 2;
constexpr double SEND_SECONDS = 5;

void record_and_compare(const std::string& stream_path) {
    Testing::TempDir dir;
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder(store);
    Gantry::XML::Parser parser;
    parser.read(R"(<capture id="e2e"><source address="239.192.0.7" port="5507"/>
        <segment length="2 seconds"/><index suffix=".idx"/><file prefix=")" +
                dir.path() + "/\"/></capture>");
    Capture capture(parser.root(), Gantry::XML::Element::none, decoder, true);
    ASSERT_TRUE(capture.valid());

    const std::vector<uint8_t> stream = Testing::read_file(stream_path);
    Gantry::Net::UDPSocket sender;
    ASSERT_TRUE(sender.set_multicast_ttl(1));
    const Gantry::Net::EndPoint group(Gantry::Net::IPAddress("239.192.0.7"), 5507);
    const size_t count = (stream.size() + DATAGRAM - 1) / DATAGRAM;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; i++) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration<double>(SEND_SECONDS * i / count));
        const size_t at = i * DATAGRAM;
        sender.send_to(stream.data() + at, std::min(DATAGRAM, stream.size() - at), 0, group);
    }
    for (int i = 0; i < 200 && capture.counters().datagrams.load() < count; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    capture.stop();
    EXPECT_EQ(capture.counters().datagrams.load(), count);
    EXPECT_EQ(capture.counters().ring_drops.load() + capture.counters().kernel_drops.load(), 0u);
    EXPECT_EQ(capture.counters().cc_errors.load(), 0u);

    std::vector<std::string> segments;
    for (const std::string& name : file_names(dir.path()))
        if (name.ends_with(".ts")) segments.push_back(dir.file(name));
    ASSERT_GE(segments.size(), 2u) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(capture.counters().files_opened.load(), segments.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < segments.size(); i++) {
        const auto bytes = Testing::read_file(segments[i]);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
        // The first file opens at the first datagram, the others on the boundaries.
        EXPECT_TRUE(i == 0 || capture.time_of_file(segments[i]).seconds() % SEGMENT_SECONDS == 0)
            << segments[i];

        const std::string offline = dir.file("offline.idx");
        int status = -1;
        const std::string output =
            Testing::run_command(Testing::shell_quote(Testing::tool_path("cv-index")) + " build " +
                                     Testing::shell_quote(segments[i]) + " -o " +
                                     Testing::shell_quote(offline) + " 2>&1",
                                 &status);
        ASSERT_EQ(status, 0) << output;
        EXPECT_EQ(Testing::read_file(segments[i] + ".idx"), Testing::read_file(offline))
            << segments[i];
    }
    EXPECT_TRUE(joined == stream) << "the segments are not the stream sent";

    // The guide decoder saw the stream's service and filed it under the capture.
    std::vector<EPGServiceSummary> services;
    store.list_services(services);
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].id, "e2e");
    EXPECT_EQ(services[0].provider, "FFmpeg");
}

TEST(CaptureEndToEndTest, RealStreamIntoSegmentsWithLiveIndexes) {
    CORVID_REQUIRE_SHARED(stream, "testdata/ts/video/tsduck-test-064.ts");
    if (std::getenv(NETNS_FLAG)) return record_and_compare(stream);
    if (!std::filesystem::exists(Testing::tool_path("cv-index"))) GTEST_SKIP() << "no cv-index";
    CORVID_REQUIRE_PROGRAM("unshare");
    CORVID_REQUIRE_PROGRAM("ip");
    int status = -1;
    Testing::run_command("unshare -n true 2>/dev/null", &status);
    if (status != 0) GTEST_SKIP() << "this sandbox forbids private network namespaces (unshare -n)";
    const std::string inner =
        "ip link set lo up && ip route add 239.0.0.0/8 dev lo && " + std::string(NETNS_FLAG) +
        "=1 exec " + Testing::shell_quote(std::filesystem::read_symlink("/proc/self/exe")) +
        " --gtest_filter=CaptureEndToEndTest.*";
    const std::string output =
        Testing::run_command("unshare -n sh -c " + Testing::shell_quote(inner) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
}  // namespace Corvid::Capture
