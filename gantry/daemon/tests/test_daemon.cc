// A small application on the daemon shell for the process tests. Its hooks log their calls;
// "test/@plan" makes successive workers end by themselves, "ACTION SECONDS" per start: SECONDS
// after begin_run, segv (a fatal signal), kill (SIGKILL), exit0, or a number for tick to return.
// Starts are counted in the file "test/@counter"; the restart delays come from
// "test/@first-delay" and "test/@ceiling".
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "gantry/daemon/daemon.h"
#include "gantry/log/stream.h"
#include "gantry/xml/configuration.h"

namespace {

using namespace Gantry;
using Clock = std::chrono::steady_clock;

class TestApp : public Daemon::Application {
  public:
    void apply_config(XML::Configuration& config) override {
        plan_ = config.get_value("test/@plan");
        counter_ = config.get_value("test/@counter");
        preconfigure_ = config.get_value_int("test/@preconfigure");
        privileged_ = config.get_value_int("test/@privileged");
        Log::Summary() << "hook apply_config " << config.get_value("test/@tag") << std::endl;
    }
    int preconfigure() override { return hook("preconfigure", preconfigure_); }
    int init_privileged() override { return hook("init_privileged", privileged_); }
    void on_config_reload() override { hook("on_config_reload"); }
    int begin_run() override {
        int start = 1;
        if (!counter_.empty()) {
            std::ifstream(counter_) >> start;
            std::ofstream(counter_) << ++start;
            start--;
        }
        std::istringstream plan(plan_);
        double seconds = 0;
        for (int i = 0; i < start; i++)
            if (!(plan >> action_ >> seconds)) action_.clear();
        deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
        Log::Summary() << "hook begin_run pid=" << ::getpid() << " start=" << start << std::endl;
        return 0;
    }
    int tick() override {
        if (action_.empty() || Clock::now() < deadline_) return 0;
        if (action_ == "segv") std::raise(SIGSEGV);
        if (action_ == "kill") std::raise(SIGKILL);
        if (action_ == "exit0") std::exit(0);
        return std::stoi(action_);
    }
    void finish() override { hook("finish"); }

  private:
    int hook(const char* name, int result = 0) {
        Log::Summary() << "hook " << name << std::endl;
        return result;
    }

    std::string plan_, counter_, action_;
    int preconfigure_ = 0, privileged_ = 0;
    Clock::time_point deadline_;
};

TestApp app;

}  // namespace

int main(int argc, char** argv) {
    std::ostream quiet(nullptr);
    XML::Configuration peek(argc > 1 ? argv[argc - 1] : "", quiet);
    Daemon::Shell::Timing timing;
    if (peek.read("")) {
        timing.first_delay = peek.get_value_real("test/@first-delay", timing.first_delay);
        timing.ceiling = peek.get_value_real("test/@ceiling", timing.ceiling);
    }
    Daemon::Shell shell(app,
                        {"Corvid test daemon", "0.1", "/nonexistent/test.cfg.xml", "captured",
                         "/nonexistent/test.log", "/nonexistent/test.pid"},
                        timing);
    return shell.start(argc, argv);
}
