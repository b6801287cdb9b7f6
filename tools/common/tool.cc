#include "tools/common/tool.h"

#include <cerrno>
#include <csignal>
#include <iostream>

#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Corvid::Tools {

namespace {

// Keeps the last error the libraries logged, so that a failure is reported on one line with its
// reason.
class LastError final : public Gantry::Log::Channel {
  public:
    void log(const Gantry::Log::Message& message) override {
        if (message.level != Gantry::Log::error_level) return;
        Gantry::MT::Lock lock(mutex_);
        text_ = message.text;
    }
    bool accepts(int level) const override { return level == Gantry::Log::error_level; }
    std::string text() const {
        Gantry::MT::Lock lock(mutex_);
        return text_;
    }

  private:
    std::string text_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace

void finish_output(std::ostream& out) {
    out.flush();
    if (!out && errno != EPIPE) throw CommandError("cannot write the output");
}

int tool_main(const char* name, int argc, char** argv,
              int (*run)(const std::vector<std::string>& args)) {
    // A closed output pipe shows up as a failed write (EPIPE) instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    LastError last_error;
    Gantry::Log::logger.connect(last_error);
    int status;
    try {
        status = run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << name << ": " << error.what() << '\n';
        status = 2;
    } catch (const std::exception& error) {
        const std::string reason = last_error.text();
        std::cerr << name << ": " << error.what() << (reason.empty() ? "" : ": ") << reason << '\n';
        status = 1;
    }
    Gantry::Log::logger.disconnect(last_error);
    return status;
}

}  // namespace Corvid::Tools
