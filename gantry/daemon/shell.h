// Daemon::Shell: turns an Application into a Unix daemon.
//
//     Corvid::Capture::Server server;   // static, process-wide
//     int main(int argc, char** argv) {
//         Daemon::Shell shell(server, {"Corvid capture daemon", "1.2.2",
//                                      "/etc/corvid/captured.cfg.xml", "captured",
//                                      "/var/log/corvid/captured.log",
//                                      "/var/run/cv-captured.pid"});
//         return shell.start(argc, argv);
//     }
//
// start() reads the configuration, builds the log chain, and either runs the application in the
// process (foreground, or daemon without watchdog) or detaches and becomes a master that forks a
// worker, restarts it when it dies and passes SIGTERM and SIGHUP on to it. Signals are recorded
// by the handlers and acted on by the loops on the main thread (see signals.h).
//
// Exactly one shell exists per process. The master and the application start no threads before
// the worker is forked: fork() copies only the calling thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "gantry/daemon/application.h"
#include "gantry/daemon/pid_file.h"
#include "gantry/log/filters.h"
#include "gantry/xml/configuration.h"

namespace Gantry::Daemon {

class LogOutput;

class Shell {
  public:
    struct Settings {
        std::string name;  // in the start-up log line and --version
        std::string version;
        std::string config_file;  // when the command line names none
        std::string config_root;  // required root element name
        std::string log_file;     // when "log/@file" is absent
        std::string pid_file;     // when "daemon/pid/@file" is absent
    };
    // Restart delays of the master, in seconds. The delay doubles with each restart up to the
    // ceiling; a worker that ran longer than the ceiling was not crash-looping, so the delay after
    // it starts again from the first.
    struct Timing {
        double first_delay = 1;
        double ceiling = 60;
    };

    Shell(Application& application, Settings settings);
    Shell(Application& application, Settings settings, Timing timing);
    virtual ~Shell();
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Returns the process exit code (in a worker too: main returns it there as well).
    int start(int argc, char** argv);
    // The run loop: begin_run, then tick until shutdown or a non-zero result.
    virtual int run();

    XML::Configuration& configuration() { return configuration_; }
    bool shutting_down() const { return shutdown_; }

  private:
    int start_up(const char* program, const std::string& config_file);
    void build_log_chain(std::unique_ptr<LogOutput> output);
    // init_privileged, the user and group change (in a worker running as root), run, finish.
    int run_application(bool change_identity_as_root);
    int master_loop();
    int wait_for_worker();
    // Acts on signals until the deadline; true if shutdown was asked for.
    bool sleep_until(std::chrono::steady_clock::time_point deadline);
    void handle_signals();

    Application& application_;
    const Settings settings_;
    const Timing timing_;
    XML::Configuration configuration_;
    bool daemon_mode_ = false;
    bool master_ = false;
    bool worker_process_ = false;
    bool term_seen_ = false;
    bool shutdown_ = false;
    pid_t worker_pid_ = 0;  // the running worker's, in the master only
    std::chrono::steady_clock::time_point clock_refreshed_;

    PidFile pid_file_;
    std::unique_ptr<LogOutput> output_;
    std::unique_ptr<Log::TimestampFilter> stamp_;
    std::unique_ptr<Log::LevelFilter> level_;
};

}  // namespace Gantry::Daemon
