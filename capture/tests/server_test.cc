// The capture service: in-process where a clock or a sync counter decides, and as the real
// cv-captured program, fed from 127.0.0.1, judged by its files, log and state file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "capture/server.h"
#include "gantry/net/udp_socket.h"
#include "gantry/xml/configuration.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Duration;
using Gantry::Time::Stamp;
namespace fs = std::filesystem;

// As subreaper this process inherits the daemon's master, to reap it.
const int subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1);

std::string slurp(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
}
uint16_t free_port() {
    return Gantry::Net::UDPSocket(Gantry::Net::IPAddress("127.0.0.1"), 0).local_end_point().port();
}
std::string source(uint16_t port) {
    return "<source address='127.0.0.1' port='" + std::to_string(port) + "'/>";
}
std::string capture(const std::string& id, uint16_t port, const std::string& more = "") {
    return "<capture id='" + id + "'>" + source(port) + more + "</capture>";
}
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500 && !condition(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}
// In datagrams of seven packets, pausing now and then so that no socket buffer overflows.
void send_file(const std::string& path, uint16_t port) {
    Gantry::Net::UDPSocket sender;
    const std::vector<uint8_t> stream = Testing::read_file(path);
    for (size_t at = 0; at < stream.size(); at += 7 * 188) {
        sender.send_to(stream.data() + at, std::min<size_t>(7 * 188, stream.size() - at), 0,
                       {Gantry::Net::IPAddress("127.0.0.1"), port});
        if (at % (32 * 7 * 188) == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}
// The size of the segment of dir whose name starts with prefix, once unchanged for 200 ms.
uintmax_t settled_size(const std::string& dir, const std::string& prefix) {
    uintmax_t size = 0, last = 1;
    for (int i = 0; i < 50 && (size == 0 || size != last); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        last = std::exchange(size, 0);
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().starts_with(prefix) &&
                entry.path().extension() == ".ts")
                size = entry.file_size();
    }
    return size;
}

struct ServerTest : testing::Test {
    void start(const std::string& body) {
        Gantry::XML::Configuration configuration("");
        ASSERT_TRUE(configuration.read_text("<captured>" + body + "</captured>", "captured"));
        server.apply_config(configuration);
        ASSERT_EQ(server.begin_run(), 0);
    }
    Testing::TempDir dir;
    const std::string state = dir.file("state.xml"), epg = dir.file("epg.xml");
    Stamp now{"2019-01-22T12:00:00Z"};
    int syncs = 0;
    Testing::LogCapture log;
    Server server{{[this] { return now; }, [this] { syncs++; }}};
};

TEST_F(ServerTest, RegistryStateFileAndTicks) {
    Testing::write_file(state, "<captures><capture id='broken'");
    start("<captures><disk file='" + state + "'/><save interval='1 min'/><default><file prefix='" +
          dir.path() + "/'/></default>" + capture("perm", free_port()) +
          "</captures><epg><disk file='" + epg + "'/></epg>");
    // The unreadable file is kept whole, aside, before anything can replace it.
    const std::string aside = state + ".unreadable-2019-01-22T12-00-00Z";
    EXPECT_EQ(slurp(aside), "<captures><capture id='broken'");
    EXPECT_TRUE(log.has_line("1 Unreadable state of non-permanent captures " + state + " kept as " +
                             aside));
    EXPECT_FALSE(fs::exists(state));

    Gantry::XML::Element dynamic("capture"), list("list");
    dynamic.merge_xml(capture("dyn", 0, "<start mode='external'/>"));
    EXPECT_TRUE(server.add_capture(dynamic, false));
    Playlist playlist;
    const std::pair<bool, std::string> refusals[] = {
        {server.add_capture(dynamic, true), "Can't add capture 'dyn' - duplicate id "},
        {server.remove_capture("perm"), "Can't remove capture 'perm' - not created dynamically"},
        {server.remove_capture("none"), "Can't remove capture 'none' - no such capture"},
        {server.start_capturing("none", "", 0), "Can't find channel ID none in captures"},
        {server.playlist("none", now, now, false, playlist),
         "Can't find channel ID none in captures"},
    };
    for (const auto& [result, line] : refusals)
        EXPECT_TRUE(!result && log.has_line("1 " + line)) << line;

    // The session and the stop its duration schedules are saved; the permanent capture is not.
    ASSERT_TRUE(server.start_capturing("dyn", dir.file("show.ts"), 90));
    const std::string saved = slurp(state);
    EXPECT_NE(saved.find("<current-output path=\"" + dir.file("show.ts") + "\""),
              std::string::npos);
    EXPECT_NE(saved.find("time=\"2019-01-22T12:01:30Z\""), std::string::npos);
    EXPECT_EQ(saved.find("perm"), std::string::npos);

    // Both files go through a temporary file: one that cannot be made leaves the old file as it is.
    fs::create_directory(state + "~new");
    fs::create_directory(epg + "~new");
    // The first tick does every task, then each waits for its interval (sync: 1 s, saves: 1 min).
    for (double step : {0.0, 0.5, 0.6, 0.3, 58.0}) {
        now += Duration(step);
        server.tick();
    }
    EXPECT_EQ(syncs, 3);
    EXPECT_EQ(log.count("Could not write state of non-permanent captures to " + state, 1), 1u);
    EXPECT_EQ(log.count("EPG - could not write new state to " + epg, 1), 1u);
    EXPECT_EQ(slurp(state), saved);
    fs::remove(state + "~new");
    EXPECT_TRUE(server.stop_capturing("dyn") && server.remove_capture("dyn"));
    EXPECT_TRUE(server.list_captures(list));
    EXPECT_EQ(list.get_children("capture").size(), 1u);
    EXPECT_EQ(slurp(state), "<captures/>\n");
}

// Sync off; two restored captures of one id; a guide stream adds events to the services a channel
// capture owns, and a re-read replaces the stream's capture.
TEST_F(ServerTest, GuideStreamFeedsOwnedServicesAndIsReplacedOnReread) {
    CORVID_REQUIRE_SHARED(guide, "testdata/ts/epg/tsduck-test-184.ts");
    Testing::write_file(state,
                        "<captures>" + capture("twin", 0) + capture("twin", 0) + "</captures>");
    const uint16_t port = free_port();
    start("<disk><sync interval='0 seconds'/></disk><captures><disk file='" + state +
          "'/></captures><epg><streams><stream id='guide'>" + source(port) +
          "</stream></streams></epg>");
    EXPECT_TRUE(log.has_line("1 Can't add capture 'twin' - duplicate id "));
    server.tick();
    EXPECT_EQ(syncs, 0);

    server.epg_store().add_service("m6", Duration(3600.0), 1025, "", "",
                                   Stamp("2019-01-22T00:00:00Z"));
    send_file(guide, port);
    std::vector<EPGServiceListing> listing;
    EXPECT_TRUE(eventually([&] {
        listing.clear();
        server.epg_store().get_all(listing);
        return listing.size() == 1 && listing[0].events.size() >= 10;
    }));
    EXPECT_EQ(listing.at(0).service.id, "m6");

    server.on_config_reload();
    EXPECT_EQ(log.count("Starting EPG capture 'guide'"), 2u);
    EXPECT_EQ(log.count("EPG Capture 'guide' ended"), 1u);
    EXPECT_EQ(server.epg_capture_ids(), std::vector<std::string>{"guide"});
    server.finish();
    EXPECT_EQ(log.count("EPG Capture 'guide' ended"), 2u);
}

// The program itself, in the foreground and as a daemon with its watchdog.
struct ProgramTest : testing::Test {
    pid_t spawn() {
        std::string program = Testing::tool_path("cv-captured"), output = dir.file("log.stdout");
        char* argv[] = {program.data(), config.data(), nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&files);
        return pids.emplace_back(pid);
    }
    // In the foreground the log is standard output.
    void configure(const std::string& more, bool daemon = false) {
        out = dir.file(daemon ? "log" : "log.stdout");
        Testing::write_file(
            config, "<captured><background daemon='" + std::string(daemon ? "yes" : "no") +
                        "'/><log file='" + out + "' level='3'/><daemon><pid file='" + pid_file +
                        "'/></daemon><watchdog first-delay='0.05'/><captures><disk file='" + state +
                        "'/><save interval='0.1 seconds'/><default><file prefix='" + dir.path() +
                        "/'/><index suffix='.cvi2'/></default>" + more + "</captured>");
    }
    size_t count(const std::string& text) {
        std::istringstream in(slurp(out));
        size_t n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find(text) != std::string::npos;
        return n;
    }
    bool wait_for(const std::string& text, size_t times = 1) {
        return eventually([&] { return count(text) >= times; });
    }
    int exit_code(pid_t pid) {
        int status = 0;
        eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Ends what this test started and still runs: the program, its master, then the workers
    // the master leaves to this process.
    void TearDown() override {
        pids.push_back(std::atoi(slurp(pid_file).c_str()));
        std::istringstream log(slurp(out));
        for (std::string line; std::getline(log, line);)
            if (size_t at = line.find("Slave process pid "); at != std::string::npos)
                pids.push_back(std::atoi(line.c_str() + at + 18));
        for (pid_t pid : pids)
            if (pid > 1 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
    }
    std::vector<pid_t> pids;
    Testing::TempDir dir;
    std::string config = dir.file("captured.cfg.xml"), out, state = dir.file("state.xml"),
                pid_file = dir.file("pid");
    const uint16_t ports[4] = {free_port(), free_port(), free_port(), free_port()};
};

TEST_F(ProgramTest, RunsRereadsAndFinishesInOrder) {
    CORVID_REQUIRE_SHARED(stream, "testdata/ts/video/tsduck-test-025.ts");
    Testing::write_file(state,
                        "<captures>" + capture("dyn", 0) + capture("dyn", 0) + "</captures>");
    const std::string guide =
        "<epg><streams><stream id='guide'>" + source(ports[3]) + "</stream></streams></epg>";
    configure(capture("news", ports[0]) + capture("sports", ports[1]) + "</captures>" + guide);
    const pid_t pid = spawn();
    ASSERT_TRUE(wait_for("Can't add capture 'dyn' - duplicate id"));
    send_file(stream, ports[0]);
    const uintmax_t size = settled_size(dir.path(), "news");
    EXPECT_GT(size, fs::file_size(stream) / 2);

    // One definition leaves the file and one joins it: the new one starts, the old one runs on.
    configure(capture("news", ports[0]) + capture("movies", ports[2]) + "</captures>" + guide);
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(wait_for("Attempting to restore non-permanent capture state", 2));
    EXPECT_EQ(count("Starting capture 'movies'"), 1u);
    EXPECT_EQ(count("Starting EPG capture 'guide'"), 2u);
    send_file(stream, ports[1]);
    EXPECT_EQ(settled_size(dir.path(), "sports"), size);

    ::kill(pid, SIGTERM);
    EXPECT_EQ(exit_code(pid), 0);
    const std::string log = slurp(out);
    const size_t shutting = log.find("Shutting down"), guide_ended = log.rfind("EPG Capture");
    for (const char* id : {"dyn", "movies", "news", "sports"}) {
        const size_t ended = log.rfind("Capture '" + std::string(id) + "' ended");
        EXPECT_TRUE(shutting < ended && ended < guide_ended) << id << "\n" << log;
    }
    EXPECT_NE(slurp(state).find("<capture id=\"dyn\">"), std::string::npos);
}

// A worker killed while an external session records: the master starts a new one, which restores
// the session and appends to its file from its base PCR, so the index reads on without a gap.
TEST_F(ProgramTest, KilledWorkerResumesItsSession) {
    CORVID_REQUIRE_SHARED(stream, "testdata/ts/video/tsduck-test-025.ts");
    const std::string show = dir.file("show.ts"),
                      session = "<current-output path='" + show + "' base-pcr='-1'/>";
    Testing::write_file(state, "<captures>" +
                                   capture("ext", ports[0], "<start mode='external'/>" + session) +
                                   "</captures>");
    configure("</captures>", true);
    ASSERT_EQ(exit_code(spawn()), 0);
    ASSERT_TRUE(wait_for("Attempting to restore non-permanent capture state"));
    send_file(stream, ports[0]);
    const uintmax_t size = settled_size(dir.path(), "show");
    ASSERT_GT(size, 0u) << slurp(out);
    ASSERT_TRUE(
        eventually([&] { return slurp(state).find("base-pcr=\"-1\"") == std::string::npos; }));

    const std::string log = slurp(out);
    const pid_t worker = std::atoi(log.c_str() + log.find("Slave process pid ") + 18);
    ASSERT_GT(worker, 1);
    ::kill(worker, SIGKILL);
    ASSERT_TRUE(wait_for("Attempting to restore non-permanent capture state", 2));
    EXPECT_EQ(count("*** Slave process " + std::to_string(worker) + " died ***"), 1u);
    send_file(stream, ports[0]);
    EXPECT_EQ(settled_size(dir.path(), "show"), 2 * size);
    const pid_t master = std::atoi(slurp(pid_file).c_str());
    ASSERT_GT(master, 1);
    ::kill(master, SIGTERM);
    EXPECT_TRUE(wait_for("Master process exiting"));

    // Every intra picture of both halves, at play times that rise from one half into the next.
    std::istringstream intra(
        Testing::run_command(Testing::tool_path("cv-index") + " intra " + show + ".cvi2"));
    std::vector<double> npts;
    for (std::string word, offset; intra >> word >> word >> offset >> offset;)
        npts.push_back(std::stod(word));
    ASSERT_EQ(npts.size(), 8u) << slurp(out);
    EXPECT_TRUE(std::is_sorted(npts.begin(), npts.end()) && npts[4] > npts[3]);
    EXPECT_GT(npts[7], 2 * npts[3]);
}

}  // namespace
}  // namespace Corvid::Capture
