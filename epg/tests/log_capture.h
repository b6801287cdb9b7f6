// Collects the log lines written while it exists, for tests that check what was logged.
#pragma once

#include <string>
#include <vector>

#include "gantry/log/log.h"

namespace Corvid::Capture {

class LogCapture : public Gantry::Log::Channel {
  public:
    LogCapture() { Gantry::Log::logger.connect(*this); }
    ~LogCapture() override { Gantry::Log::logger.disconnect(*this); }

    void log(const Gantry::Log::Message& message) override {
        Gantry::MT::Lock lock(mutex_);
        lines_.push_back(message);
    }

    std::vector<Gantry::Log::Message> lines() const {
        Gantry::MT::Lock lock(mutex_);
        return lines_;
    }
    // Whether a line contains the text (at the level, if one is given).
    bool contains(const std::string& text, int level = 0) const { return count(text, level) > 0; }
    size_t count(const std::string& text, int level = 0) const {
        Gantry::MT::Lock lock(mutex_);
        size_t n = 0;
        for (const auto& m : lines_)
            if ((level == 0 || m.level == level) && m.text.find(text) != std::string::npos) n++;
        return n;
    }
    void clear() {
        Gantry::MT::Lock lock(mutex_);
        lines_.clear();
    }

  private:
    std::vector<Gantry::Log::Message> lines_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Corvid::Capture
