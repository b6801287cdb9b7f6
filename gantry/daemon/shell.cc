#include "gantry/daemon/shell.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "gantry/daemon/crash_report.h"
#include "gantry/daemon/identity.h"
#include "gantry/daemon/log_output.h"
#include "gantry/daemon/signals.h"
#include "gantry/init/sequence.h"
#include "gantry/log/logger.h"
#include "gantry/log/stream.h"

namespace Gantry::Daemon {

using Clock = std::chrono::steady_clock;

namespace {

// daemon() moves to "/": the files named on the command line and in the configuration are
// opened again there (re-read, log reopen), so they are made absolute first.
std::string absolute(const std::string& path) {
    std::error_code error;
    auto full = path.empty() ? std::filesystem::path() : std::filesystem::absolute(path, error);
    return error ? path : full.string();
}

}  // namespace

Shell::Shell(Application& application, Settings settings)
    : Shell(application, std::move(settings), Timing{}) {}

Shell::Shell(Application& application, Settings settings, Timing timing)
    : application_(application),
      settings_(std::move(settings)),
      timing_(timing),
      configuration_(std::vector<std::string>{}, std::cerr,
                     XML::Parser::FOLD_TEXT | XML::Parser::KEEP_WHITESPACE) {}

Shell::~Shell() {
    if (level_) Log::logger.disconnect(*level_);
}

int Shell::start(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "daemon";
    for (int i = 1; i < argc; i++) {
        std::string_view argument = argv[i];
        if (argument == "--version") {
            std::cout << settings_.name << " " << settings_.version << std::endl;
            return 0;
        }
        if (argument == "--help") {
            std::cout << "Usage: " << program << " [CONFIG-FILE]\n"
                      << "       " << program << " --help | --version\n"
                      << "Runs " << settings_.name << " with CONFIG-FILE (default "
                      << settings_.config_file << ").\n"
                      << "SIGTERM stops it; SIGHUP re-reads the configuration and reopens the "
                         "log file.\n";
            return 0;
        }
    }
    int result = start_up(program, argc > 1 ? argv[argc - 1] : settings_.config_file);
    // The worker shares the pid file's lock but leaves the file to its master.
    if (!worker_process_) pid_file_.remove();
    return result;
}

int Shell::start_up(const char* program, const std::string& config_file) {
    Init::Sequence::instance().run();
    configuration_.add_file_name(absolute(config_file));
    if (!configuration_.read(settings_.config_root)) {
        std::cerr << program << ": Can't read config file " << config_file << std::endl;
        return 2;
    }
    daemon_mode_ = configuration_.get_value_bool("background/@daemon", true);
    std::unique_ptr<LogOutput> output;
    if (daemon_mode_) {
        std::string log_file = absolute(configuration_.get_value("log/@file", settings_.log_file));
        output = LogOutput::open_file(log_file);
        if (!output) {
            std::cerr << program << ": Unable to open logfile " << log_file << std::endl;
            return 2;
        }
        // Checked before anything is logged, so a refused start leaves the running daemon's log
        // alone.
        std::string pid_file =
            absolute(configuration_.get_value("daemon/pid/@file", settings_.pid_file));
        if (pid_file_.acquire(pid_file) == PidFile::Result::busy) {
            std::cerr << program << ": Already running: " << pid_file << " is locked";
            if (pid_file_.holder()) std::cerr << " by pid " << pid_file_.holder();
            std::cerr << std::endl;
            return 2;
        }
    } else {
        output = LogOutput::standard_output();
    }
    build_log_chain(std::move(output));
    Log::Summary() << settings_.name << " version " << settings_.version << " starting"
                   << std::endl;

    application_.apply_config(configuration_);
    if (int code = application_.preconfigure()) {
        Log::Error() << "Preconfigure failed: " << code << std::endl;
        return code;
    }
    if (daemon_mode_) {
        if (::daemon(0, 0) < 0)
            Log::Error() << "Can't become daemon: " << std::strerror(errno) << std::endl;
        pid_file_.write(::getpid());
    }
    bool watchdog = daemon_mode_ && configuration_.get_value_bool("watchdog/@restart", true);
    Signals::install(watchdog);
    return watchdog ? master_loop() : run_application(false);
}

void Shell::build_log_chain(std::unique_ptr<LogOutput> output) {
    int level = configuration_.get_value_int("log/@level", Log::summary_level);
    std::string format =
        configuration_.get_value("log/@timestamp", Log::TimestampFilter::default_format);
    configure_crash_report(output->fd(), level >= Log::error_level, format);
    clock_refreshed_ = Clock::now();
    output_ = std::move(output);
    stamp_ = std::make_unique<Log::TimestampFilter>(*output_, format);
    level_ = std::make_unique<Log::LevelFilter>(*stamp_, level);
    Log::logger.connect(*level_);
}

int Shell::run_application(bool change_identity_as_root) {
    if (int code = application_.init_privileged()) return code;
    if (change_identity_as_root && ::getuid() == 0) {
        int code = change_identity(configuration_.get_value("security/@user"),
                                   configuration_.get_value("security/@group"));
        if (code) return code;
    }
    int result = run();
    application_.finish();
    return result;
}

int Shell::master_loop() {
    master_ = true;
    set_crash_report_master(true);
    double delay = timing_.first_delay;
    for (bool first = true;; first = false) {
        handle_signals();
        if (shutdown_) {
            Log::Summary() << "Master process exiting" << std::endl;
            return 0;
        }
        if (!first) {
            Log::Detail() << "Waiting for " << delay << "s" << std::endl;
            if (sleep_until(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(delay))))
                continue;
            delay = std::min(delay * 2, timing_.ceiling);
            Log::Error() << "*** RESTARTING SLAVE ***" << std::endl;
        }
        Log::Summary() << "Forking slave process" << std::endl;
        pid_t pid;
        {
            Signals::Blocker blocked;
            pid = ::fork();
            if (pid == 0) Signals::reset_in_child();
        }
        if (pid == 0) {
            master_ = false;
            worker_process_ = true;
            set_crash_report_master(false);
            return run_application(true);
        }
        if (pid < 0) {
            Log::Error() << "Can't fork slave process: " << std::strerror(errno) << std::endl;
            continue;  // after the delay, as for a worker that died
        }
        worker_pid_ = pid;
        Clock::time_point started = Clock::now();
        Log::Detail() << "Slave process pid " << pid << " forked" << std::endl;
        int status = wait_for_worker();
        worker_pid_ = 0;
        if (WIFSIGNALED(status))
            Log::Error() << "*** Slave process " << pid << " died ***" << std::endl;
        else if (WEXITSTATUS(status) == 0 && shutdown_)
            Log::Summary() << "Slave process exited OK" << std::endl;
        else
            Log::Error() << "*** Slave process " << pid << " exited with code "
                         << WEXITSTATUS(status) << " ***" << std::endl;
        if (Clock::now() - started > std::chrono::duration<double>(timing_.ceiling))
            delay = timing_.first_delay;
    }
}

int Shell::wait_for_worker() {
    for (;;) {
        handle_signals();
        int status = 0;
        pid_t result = ::waitpid(worker_pid_, &status, WNOHANG);
        if (result == worker_pid_) {
            // A SIGTERM sent to master and worker together (a service manager stopping the
            // group) counts as asked for even if the worker ended first.
            handle_signals();
            return status;
        }
        if (result < 0 && errno != EINTR) return 255 << 8;  // lost (cannot happen): restart it
        Signals::wait(std::chrono::seconds(1));             // SIGCHLD cuts this short
    }
}

bool Shell::sleep_until(Clock::time_point deadline) {
    for (;;) {
        handle_signals();
        if (shutdown_) return true;
        Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        Signals::wait(deadline - now);
    }
}

int Shell::run() {
    if (int code = application_.begin_run()) return code;
    for (;;) {
        handle_signals();
        if (shutdown_) return 0;
        if (int code = application_.tick()) return code;
        int interval = application_.tick_interval();
        if (interval > 0 && sleep_until(Clock::now() + std::chrono::microseconds(interval)))
            return 0;
    }
}

void Shell::handle_signals() {
    Clock::time_point now = Clock::now();
    if (now - clock_refreshed_ > std::chrono::minutes(1)) {
        refresh_crash_report_clock();
        clock_refreshed_ = now;
    }
    Signals::Pending pending = Signals::take();
    if (pending.term && !term_seen_) {  // later ones are ignored
        term_seen_ = true;
        shutdown_ = true;
        if (master_) {
            Log::Summary() << "SIGTERM received in master process" << std::endl;
            if (worker_pid_) ::kill(worker_pid_, SIGTERM);
        } else {
            Log::Summary() << "SIGTERM received in slave process" << std::endl;
        }
    }
    if (!pending.hup) return;
    if (!output_->reopen())
        Log::Error() << "Unable to reopen logfile " << output_->path() << ": "
                     << std::strerror(errno) << std::endl;
    if (master_) {
        Log::Summary() << "SIGHUP received in master process" << std::endl;
        if (worker_pid_) ::kill(worker_pid_, SIGHUP);
        return;
    }
    Log::Summary() << "SIGHUP received in slave process" << std::endl;
    if (configuration_.read(settings_.config_root))
        application_.apply_config(configuration_);
    else
        Log::Error() << "Failed to re-read config, using existing" << std::endl;
    application_.on_config_reload();
}

}  // namespace Gantry::Daemon
