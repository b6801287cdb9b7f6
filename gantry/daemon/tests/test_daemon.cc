// The process tests' application: hooks log their calls; "test/@plan" has "ACTION SECONDS" per
// start (counted in the file "test/@counter"): SECONDS after begin_run, segv, exit0 or a number for
// tick to return. The restart delays come from "test/@first-delay" and "test/@ceiling".
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
        std::ifstream(counter_) >> start;
        std::ofstream(counter_) << start + 1;
        std::istringstream plan(plan_);
        for (int i = 0; i < start; i++)
            if (!(plan >> action_ >> seconds_)) action_.clear();
        started_ = Clock::now();
        Log::Summary() << "hook begin_run pid=" << ::getpid() << " start=" << start << std::endl;
        return 0;
    }
    int tick() override {
        std::chrono::duration<double> ran = Clock::now() - started_;
        if (action_.empty() || ran.count() < seconds_) return 0;
        if (action_ == "segv") std::raise(SIGSEGV);
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
    double seconds_ = 0;
    Clock::time_point started_;
};

}  // namespace

int main(int argc, char** argv) {
    TestApp app;
    std::ostream quiet(nullptr);
    XML::Configuration peek(argc > 1 ? argv[argc - 1] : "", quiet);
    peek.read("");  // unread, it answers the defaults
    Daemon::Shell::Timing timing;
    timing.first_delay = peek.get_value_real("test/@first-delay", timing.first_delay);
    timing.ceiling = peek.get_value_real("test/@ceiling", timing.ceiling);
    Daemon::Shell shell(app,
                        {"Corvid test daemon", "0.1", "/nonexistent/test.cfg.xml", "captured",
                         "/nonexistent/test.log", "/nonexistent/test.pid"},
                        timing);
    return shell.start(argc, argv);
}
