// The daemon shell as real processes (test_daemon.cc), judged by log, pid file, status and /proc.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "gantry/daemon/crash_report.h"
#include "gantry/log/filters.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// As subreaper this process inherits the detached daemon and orphaned workers, to reap them.
const int subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1);

std::string slurp(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
}

// "<level> <text>" from "Mon 07 Dec 12:49:56.929 [<level>]: <text>"; other lines kept whole.
Lines log_lines(const std::string& path) {
    Lines lines;
    std::istringstream in(slurp(path));
    for (std::string line; std::getline(in, line);) {
        bool stamped = line.size() >= 29 && line[19] == '.' && line[24] == '[' && line[26] == ']';
        lines.push_back(stamped ? line.substr(25, 1) + " " + line.substr(29) : line);
    }
    return lines;
}

size_t count(const Lines& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// The texts found in that order, each in a line after the previous one's.
void expect_in_order(const Lines& lines, const Lines& texts) {
    auto at = lines.begin();
    for (const auto& text : texts) {
        at = std::find_if(at, lines.end(),
                          [&](const std::string& l) { return l.find(text) != std::string::npos; });
        ASSERT_NE(at, lines.end()) << "'" << text << "' missing or out of order in:\n"
                                   << testing::PrintToString(lines);
        ++at;
    }
}

class ShellTest : public testing::Test {
  protected:
    void TearDown() override {
        // Only our own children that still run: the ones spawned here and what they left to us.
        pids_.insert(pid_in_file());
        for (const auto& line : log_lines(log_))
            if (auto at = line.find(" pid "); at != std::string::npos)
                pids_.insert(std::atoi(line.c_str() + at + 5));
        for (pid_t pid : pids_)
            if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) ::kill(pid, SIGKILL);
        while (::waitpid(-1, nullptr, 0) > 0)
            continue;
    }

    // Daemon mode with watchdog, details logged; more comes first, so it overrides.
    void configure(const std::string& test, const std::string& more = "", bool daemon = true) {
        Corvid::Testing::write_file(
            config_, "<captured>" + more + "<background daemon='" + (daemon ? "yes" : "no") +
                         "'/><log file='" + log_ + "' level='3'/><daemon><pid file='" + pid_ +
                         "'/></daemon><test counter='" + dir_.file("starts") + "' " + test +
                         "/></captured>");
    }
    pid_t spawn(const Lines& args) {
        std::vector<char*> argv{const_cast<char*>(DAEMON_TEST_APP)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&files, 2, err_.c_str(), O_WRONLY | O_CREAT, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        pids_.insert(pid);
        return pid;
    }
    // The exit code, or 128 + the signal; -1 on timeout.
    int wait_exit(pid_t pid) {
        int status;
        for (auto end = Clock::now() + 30s; Clock::now() < end; std::this_thread::sleep_for(10ms))
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ADD_FAILURE() << "pid " << pid << " did not exit";
        return -1;
    }
    Lines wait_for(const std::string& text, size_t times = 1, const std::string& file = "") {
        Lines lines;
        for (auto end = Clock::now() + 30s; Clock::now() < end; std::this_thread::sleep_for(10ms))
            if (count(lines = log_lines(file.empty() ? log_ : file), text) >= times) return lines;
        ADD_FAILURE() << "no " << times << " x " << text << " in " << testing::PrintToString(lines);
        return lines;
    }
    pid_t start_daemon() {                          // the master's pid, once the worker runs
        EXPECT_EQ(wait_exit(spawn({config_})), 0);  // the starter, left at daemon()
        wait_for("hook begin_run");
        return pid_in_file();
    }
    pid_t pid_in_file() { return std::atoi(slurp(pid_).c_str()); }
    void stop(pid_t pid) {
        ASSERT_GT(pid, 1);  // kill(0) would hit this test; the pid file must still be there
        ::kill(pid, SIGTERM);
        EXPECT_EQ(wait_exit(pid), 0);
    }

    Corvid::Testing::TempDir dir_;
    const std::string config_ = dir_.file("test.cfg.xml"), log_ = dir_.file("test.log"),
                      pid_ = dir_.file("test.pid"), out_ = dir_.file("out"),
                      err_ = dir_.file("err");
    std::set<pid_t> pids_;
};

TEST_F(ShellTest, CommandLineAndStartUpFailures) {
    const std::string app = DAEMON_TEST_APP, none = dir_.file("none.xml");
    struct Case {
        Lines args;
        std::string test, more;
        bool daemon;
        int code;
        std::string file, text;
    } cases[] = {
        {{"--version"}, "", "", false, 0, out_, "Corvid test daemon 0.1\n"},
        {{"--help"}, "", "", false, 0, out_, "Usage: " + app + " [CONFIG-FILE]\n"},
        {{none}, "", "", false, 2, err_, app + ": Can't read config file " + none + "\n"},
        {{config_}, "", "<log file='/no/x'/>", true, 2, err_, app + ": Unable to open logfile /"},
        {{config_}, "preconfigure='3'", "", false, 3, out_, "[1]: Preconfigure failed: 3\n"},
        {{config_}, "privileged='4'", "", false, 4, out_, "[2]: hook init_privileged\n"},
    };
    for (const auto& c : cases) {
        configure(c.test, c.more, c.daemon);
        EXPECT_EQ(wait_exit(spawn(c.args)), c.code) << c.text;
        EXPECT_NE(slurp(c.file).find(c.text), std::string::npos) << slurp(c.file);
        EXPECT_EQ(slurp(out_).find("hook begin_run"), std::string::npos);
        ::unlink(out_.c_str()), ::unlink(err_.c_str());
    }
}

TEST_F(ShellTest, ForegroundIsOneProcessLoggingToStandardOutput) {
    configure("tag='A'", "<watchdog restart='yes'/>", false);
    pid_t pid = spawn({config_});
    wait_for("hook begin_run", 1, out_);
    stop(pid);
    expect_in_order(log_lines(out_),
                    {"2 Corvid test daemon version 0.1 starting", "2 hook apply_config A",
                     "2 hook preconfigure", "2 hook init_privileged",
                     "2 hook begin_run pid=" + std::to_string(pid), "2 SIGTERM received in slave",
                     "2 hook finish"});
    EXPECT_EQ(count(log_lines(out_), "Forking"), 0u);
    EXPECT_FALSE(std::ifstream(pid_) || std::ifstream(log_));
}

TEST_F(ShellTest, DaemonHoldsItsPidFileAndStopsCleanlyOnSigtermWithOrWithoutWatchdog) {
    configure("");
    pid_t master = start_daemon();
    EXPECT_EQ(slurp(pid_), std::to_string(master) + "\n");
    EXPECT_EQ(wait_exit(spawn({config_})), 2);
    EXPECT_EQ(slurp(err_), DAEMON_TEST_APP ": Already running: " + pid_ + " is locked by pid " +
                               std::to_string(master) + "\n");
    stop(master);
    Lines lines = log_lines(log_);
    EXPECT_EQ(count(lines, "starting"), 1u);
    EXPECT_EQ(count(lines, "hook begin_run pid=" + std::to_string(master)), 0u);
    expect_in_order(lines,
                    {"2 SIGTERM received in master process", "2 SIGTERM received in slave process",
                     "2 hook finish", "2 Slave process exited OK", "2 Master process exiting"});
    EXPECT_FALSE(std::ifstream(pid_));

    ::unlink(log_.c_str());
    configure("", "<watchdog restart='no'/>");  // the application runs in the detached process
    pid_t pid = start_daemon();
    EXPECT_EQ(count(log_lines(log_), "hook begin_run pid=" + std::to_string(pid)), 1u);
    stop(pid);
    EXPECT_EQ(count(log_lines(log_), "Forking"), 0u);
    EXPECT_FALSE(std::ifstream(pid_));
}

TEST_F(ShellTest, WorkersDyingOrEndingUnaskedAreRestartedAfterOneThenTwoSeconds) {
    configure("plan='segv 0 exit0 0'");
    Clock::time_point started = Clock::now();
    EXPECT_EQ(wait_exit(spawn({config_})), 0);
    Lines lines = wait_for("start=3");
    EXPECT_GE(Clock::now() - started, 3s);
    // The master's "forked" line may come after the new worker's first lines.
    expect_in_order(
        lines,
        {"2 Forking slave process", "1 *** Signal received in slave: segment violation (11) ***",
         "1 --- backtrace:", "1 - ", "1 - ", "1 - ", "1 ---", "died ***", "3 Waiting for 1s",
         "1 *** RESTARTING SLAVE ***", "2 Forking slave process", "exited with code 0 ***",
         "3 Waiting for 2s", "1 *** RESTARTING"});
    stop(pid_in_file());
}

TEST_F(ShellTest, RestartDelayDoublesUpToTheCeilingAndStartsAgainAfterALongRun) {
    configure("first-delay='0.1' ceiling='0.8' plan='3 0 3 0 3 0 3 0 3 0 3 1 3 0'");
    EXPECT_EQ(wait_exit(spawn({config_})), 0);
    Lines lines = wait_for("start=8");
    EXPECT_EQ(count(lines, "Waiting for"), 7u);
    expect_in_order(lines, {"3 Waiting for 0.1s", "3 Waiting for 0.2s", "3 Waiting for 0.4s",
                            "3 Waiting for 0.8s", "3 Waiting for 0.8s", "3 Waiting for 0.1s",
                            "3 Waiting for 0.2s"});
    EXPECT_EQ(count(lines, "exited with code 3 ***"), 7u);
    stop(pid_in_file());
}

TEST_F(ShellTest, SighupReopensTheLogAndRereadsTheConfigurationEvenIfBroken) {
    configure("tag='A'");
    pid_t master = start_daemon();
    ASSERT_EQ(::rename(log_.c_str(), (log_ + ".1").c_str()), 0);  // as logrotate does
    configure("tag='B'");
    ::kill(master, SIGHUP);
    expect_in_order(wait_for("hook on_config_reload"),
                    {"2 SIGHUP received in master process", "2 SIGHUP received in slave process",
                     "2 hook apply_config B", "2 hook on_config_reload"});
    EXPECT_EQ(count(log_lines(log_ + ".1"), "SIGHUP"), 0u);
    Corvid::Testing::write_file(config_, "<captured><test tag='C'></captured>");
    ::kill(master, SIGHUP);
    Lines lines = wait_for("hook on_config_reload", 2);
    expect_in_order(lines, {"hook on_config_reload", "2 SIGHUP received in slave process",
                            "1 Failed to re-read config, using existing", "hook on_config_reload"});
    EXPECT_EQ(count(lines, "hook apply_config"), 1u);
    stop(master);
}

TEST_F(ShellTest, WorkerRunningAsRootTakesTheConfiguredUserAndGroup) {
    if (::getuid() != 0) GTEST_SKIP() << "the user and group change needs root";
    const struct passwd* nobody = ::getpwnam("nobody");
    const struct group* nogroup = ::getgrnam("nogroup");
    if (!nobody || !nogroup) GTEST_SKIP() << "no user nobody or group nogroup here";
    const std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nogroup->gr_gid);
    configure("", "<security user='nobody' group='nogroup'/>");
    pid_t master = start_daemon();
    Lines lines = log_lines(log_);
    expect_in_order(lines, {"2 Changing to group nogroup (" + gid + ")",
                            "2 Changing to user nobody (" + uid + ")"});
    pid_t worker = 0;
    for (const auto& line : lines)
        if (line.starts_with("2 hook begin_run pid=")) worker = std::atoi(line.c_str() + 21);
    std::string status = slurp("/proc/" + std::to_string(worker) + "/status");
    for (std::string id : {"Uid:\t" + uid, "Gid:\t" + gid, "Groups:\t" + gid + " \n"})
        EXPECT_NE(status.find(id), std::string::npos) << id << " in\n" << status;
    EXPECT_NE(slurp("/proc/" + std::to_string(master) + "/status").find("Uid:\t0"),
              std::string::npos);
    stop(master);

    for (std::string kind : {"user", "group"}) {
        ::unlink(log_.c_str());
        configure("first-delay='0.05'", "<security " + kind + "='no-such-" + kind + "'/>");
        EXPECT_EQ(wait_exit(spawn({config_})), 0);
        expect_in_order(wait_for("exited with code 2 ***"),
                        {"1 Can't find " + kind + " no-such-" + kind});
        stop(pid_in_file());
    }
}

// The crash report's formatter runs where strftime may not; the log chain's is the oracle.
TEST(CrashReportTest, StampMatchesTheLogChainPrefix) {
    Corvid::Testing::set_time_zone("EST5");
    Corvid::Testing::RecordingChannel sink;
    for (const char* format : {Gantry::Log::TimestampFilter::default_format,
                               "%Y-%m-%d %H:%M:%S (%j %e %y) [%*L] %*S %%"})
        for (int64_t utc : {int64_t{0}, int64_t{951868799}, int64_t{4102444799}}) {
            char stamp[128];
            Gantry::Daemon::format_stamp(stamp, sizeof stamp, format, 3, utc - 5 * 3600, 0);
            Gantry::Log::TimestampFilter chain(sink, format);
            EXPECT_EQ(stamp, chain.prefix(3, Gantry::Time::Stamp::from_unix(utc))) << utc;
        }
}

}  // namespace
