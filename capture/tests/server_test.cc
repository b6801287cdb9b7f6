// The capture service: in-process where a clock or a sync counter decides, and as the real
// cv-captured program, fed from 127.0.0.1, judged by its files, log and state file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/server.h"
#include "capture/tests/source_netns.h"
#include "gantry/xml/configuration.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using namespace std::chrono_literals;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;
namespace fs = std::filesystem;

// As subreaper this process inherits the daemon's master, to reap it.
const int subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1);

std::string slurp(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
}
bool has(const std::string& path, const std::string& text) {
    return slurp(path).find(text) != std::string::npos;
}
// The number after each place text occurs in the file, in order (0 where none follows).
std::vector<long> after(const std::string& path, const std::string& text) {
    const std::string all = slurp(path);
    std::vector<long> numbers;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
        numbers.push_back(std::atol(all.c_str() + at + text.size()));
    return numbers;
}
std::string capture(const std::string& id, uint16_t port, const std::string& more = "") {
    return "<capture id='" + id + "'><source address='127.0.0.1' port='" + std::to_string(port) +
           "'/>" + more + "</capture>";
}
// Datagrams sent before the capture binds its port, or faster than a loaded machine drains
// them, would be lost: wait for the socket, then pace the sender.
void send_file(const std::string& path, uint16_t port) {
    char bound[32];  // a local address with this port, no remote one
    std::snprintf(bound, sizeof bound, ":%04X 00000000:0000", port);
    ASSERT_TRUE(eventually([&] { return has("/proc/net/udp", bound); })) << port;
    Gantry::Net::UDPSocket sender;
    const std::vector<uint8_t> stream = Testing::read_file(path);
    for (size_t at = 0; at < stream.size(); at += 7 * 188) {
        sender.send_to(stream.data() + at, std::min<size_t>(7 * 188, stream.size() - at), 0,
                       {Gantry::Net::IPAddress("127.0.0.1"), port});
        if (at % (16 * 7 * 188) == 0) std::this_thread::sleep_for(1ms);
    }
}
// The size of the segment in dir whose name starts with prefix (not its index), once it is
// expected or 5 s have passed, and a moment more for bytes beyond it: the writer holds bytes for
// up to a second.
uintmax_t segment_size(const std::string& dir, const std::string& prefix, uintmax_t expected) {
    const auto largest = [&] {
        uintmax_t size = 0;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().starts_with(prefix))
                size = std::max(size, entry.file_size());
        return size;
    };
    eventually([&] { return largest() >= expected; });
    std::this_thread::sleep_for(100ms);
    return largest();
}

struct ServerTest : testing::Test {
    void configure(const std::string& body) {
        Gantry::XML::Configuration configuration("");
        ASSERT_TRUE(configuration.read_text("<captured>" + body + "</captured>", "captured"));
        server.apply_config(configuration);
    }
    Testing::TempDir dir;
    const std::string state = dir.file("state.xml"), epg = dir.file("epg.xml");
    std::atomic<double> elapsed{0};  // the capture threads read the clock too
    int syncs = 0;
    Testing::LogCapture log;
    Server server{{[this] { return Stamp("2019-01-22T12:00:00Z") + Duration(elapsed.load()); },
                   [this] { syncs++; }}};
};

// Registry refusals, the state file, ticks with sync and with sync off.
TEST_F(ServerTest, RegistryStateFileAndTicks) {
    Testing::write_file(state, "<captures><capture id='broken'");
    configure("<captures><disk file='" + state +
              "'/><save interval='1 min'/><default><file prefix='" + dir.path() + "/'/></default>" +
              capture("perm", free_port()) + "</captures><epg><disk file='" + epg + "'/></epg>");
    ASSERT_EQ(server.begin_run(), 0);
    // The unreadable file is kept whole, aside, before anything can replace it.
    const std::string aside = state + ".unreadable-2019-01-22T12-00-00Z";
    EXPECT_EQ(slurp(aside), "<captures><capture id='broken'");
    EXPECT_TRUE(log.has_line("1 Unreadable state of non-permanent captures " + state + " kept as " +
                             aside));

    Gantry::XML::Element dynamic("capture");
    dynamic.merge_xml(capture("dyn", 0, "<start mode='external'/>"));
    EXPECT_TRUE(server.add_capture(dynamic, false));
    EXPECT_FALSE(server.remove_capture("none") || server.start_capturing("none", "", 0));
    EXPECT_TRUE(log.has_line("1 Can't remove capture 'none' - no such capture") &&
                log.has_line("1 Can't find channel ID none in captures"));

    // The session and the stop its duration schedules are saved; the permanent capture is not.
    ASSERT_TRUE(server.start_capturing("dyn", dir.file("show.ts"), 90));
    EXPECT_TRUE(has(state, "<current-output path=\"" + dir.file("show.ts")) &&
                has(state, "time=\"2019-01-22T12:01:30Z\"") && !has(state, "perm"));

    // Both files go through a temporary file, so one that cannot be made fails the save.
    fs::create_directory(state + "~new");
    fs::create_directory(epg + "~new");
    // The first tick does every task, then each waits for its interval (sync: 1 s, saves: 1 min).
    for (double step : {0.0, 0.5, 0.6, 0.3, 58.0}) {
        elapsed = elapsed + step;
        server.tick();
    }
    EXPECT_EQ(syncs, 3);
    EXPECT_EQ(log.count("Could not write state of non-permanent captures to " + state, 1), 1u);
    EXPECT_EQ(log.count("EPG - could not write new state to " + epg, 1), 1u);
    fs::remove(state + "~new");
    EXPECT_TRUE(server.stop_capturing("dyn") && server.remove_capture("dyn"));
    EXPECT_EQ(slurp(state), "<captures/>\n");
    configure("<disk><sync interval='0 seconds'/></disk>");
    elapsed = elapsed + 5;
    server.tick();
    EXPECT_EQ(syncs, 3);
}

// The program itself, as a daemon with its watchdog.
struct ProgramTest : testing::Test {
    void configure(const std::string& captures) {
        Testing::write_file(
            config, "<captured><log file='" + out + "' level='3'/><daemon><pid file='" + pid_file +
                        "'/></daemon><watchdog first-delay='0.05'/><captures><disk file='" + state +
                        "'/><save interval='0.1 seconds'/><default><file prefix='" + dir.path() +
                        "/'/><index suffix='.cvi2'/></default>" + captures + "</captures><epg>" +
                        "<disk file='" + epg + "'/><save interval='0.1 seconds'/><streams>" +
                        "<stream id='guide'><source address='127.0.0.1' port='" +
                        std::to_string(ports[3]) + "'/></stream></streams></epg></captured>");
    }
    size_t count(const std::string& text) { return after(out, text).size(); }
    bool wait_for(const std::string& text, size_t times = 1) {
        return eventually([&] { return count(text) >= times; });
    }
    // Ends the master and the workers it leaves to this process, where they still run.
    void TearDown() override {
        std::vector<long> pids = after(out, "Slave process pid ");
        pids.push_back(std::atol(slurp(pid_file).c_str()));
        for (pid_t pid : pids)
            if (pid > 1 && ::waitpid(pid, nullptr, WNOHANG) == 0 && ::kill(pid, SIGKILL) == 0)
                ::waitpid(pid, nullptr, 0);
    }
    Testing::TempDir dir;
    std::string config = dir.file("captured.cfg.xml"), out = dir.file("log"),
                state = dir.file("state.xml"), pid_file = dir.file("pid"),
                epg = dir.file("epg.xml");
    const uint16_t ports[4] = {free_port(), free_port(), free_port(), free_port()};
};

// Captures restored (two of one id: the second refused) beside the permanent ones; a guide stream
// feeds the service a channel capture found. A worker killed while an external session records is
// restarted, restores the session and appends to its file from its base PCR, so the index reads
// on. A re-read starts a new definition and keeps a capture whose definition left the file.
// Finish stops the captures, then the guide stream.
TEST_F(ProgramTest, RestartsRereadsAndFinishesInOrder) {
    CORVID_REQUIRE_SHARED(stream, "testdata/ts/video/tsduck-test-025.ts");
    const std::string show = dir.file("show.ts"), guide = dir.file("guide.ts");
    const std::string session =
        "<start mode='external'/><current-output path='" + show + "' base-pcr='-1'/>";
    Testing::write_file(state, "<captures>" + capture("dyn", 0) + capture("dyn", 0) +
                                   capture("ext", ports[0], session) + "</captures>");
    configure(capture("news", ports[1]) + capture("sports", ports[2]));
    int status = -1;  // the starter's, which leaves the daemon behind
    Testing::run_command(Testing::tool_path("cv-captured") + " " + config, &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(wait_for("Can't add capture 'dyn' - duplicate id"));
    send_file(stream, ports[0]);
    const uintmax_t size = fs::file_size(stream);  // every byte sent lands in the segment
    ASSERT_EQ(segment_size(dir.path(), "show", size), size) << slurp(out);
    ASSERT_TRUE(eventually([&] { return !has(state, "base-pcr=\"-1\""); }));
    // The guide stream supplies the events of the service the channel capture found.
    Testing::run_command("/usr/bin/python3 " + Testing::shared_path("tools/eitgen.py") + " " +
                         stream + " " + guide + " --sid 2064 --start now");
    send_file(guide, ports[3]);
    EXPECT_TRUE(eventually([&] { return has(epg, " id=\"ext\"") && has(epg, "\"Programme 2\""); }));

    const pid_t worker = after(out, "Slave process pid ").at(0);
    ASSERT_GT(worker, 1);
    ::kill(worker, SIGKILL);
    ASSERT_TRUE(wait_for("Attempting to restore non-permanent capture state", 2));
    send_file(stream, ports[0]);
    EXPECT_EQ(segment_size(dir.path(), "show", 2 * size), 2 * size);

    configure(capture("news", ports[1]) + capture("movies", free_port()));
    const pid_t master = std::atoi(slurp(pid_file).c_str());
    ASSERT_GT(master, 1);  // kill(0) would hit this test
    ::kill(master, SIGHUP);
    ASSERT_TRUE(wait_for("Attempting to restore non-permanent capture state", 3));
    // Each guide stream capture replaces the one before (the killed worker's never ended).
    EXPECT_TRUE(count("Starting capture 'movies'") == 1 && count("Starting EPG capture") == 3 &&
                count("EPG Capture 'guide' ended") == 1);
    send_file(stream, ports[2]);
    EXPECT_EQ(segment_size(dir.path(), "sports", size), size);
    ::kill(master, SIGTERM);
    ASSERT_TRUE(wait_for("Master process exiting"));
    const std::string end = slurp(out);
    const size_t shutting = end.find("Shutting down"), guide_ended = end.rfind("EPG Capture");
    for (const char* id : {"dyn", "ext", "movies", "news", "sports"}) {
        const size_t ended = end.rfind("Capture '" + std::string(id) + "' ended");
        EXPECT_TRUE(shutting < ended && ended < guide_ended) << id << "\n" << end;
    }

    // Every intra picture of both halves, at play times that rise from one half into the next.
    std::istringstream intra(
        Testing::run_command(Testing::tool_path("cv-index") + " intra " + show + ".cvi2"));
    std::vector<double> npts;
    for (std::string word, offset; intra >> word >> word >> offset >> offset;)
        npts.push_back(std::stod(word));
    ASSERT_EQ(npts.size(), 8u) << end;
    EXPECT_TRUE(std::is_sorted(npts.begin(), npts.end()) && npts[4] > npts[3] &&
                npts[7] > 2 * npts[3]);
}

}  // namespace
}  // namespace Corvid::Capture
