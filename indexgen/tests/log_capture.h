// Collects the lines logged while it exists.
#pragma once

#include <string>
#include <vector>

#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Corvid::IndexGen::Testing {

class LogCapture final : public Gantry::Log::Channel {
  public:
    LogCapture() { Gantry::Log::logger.connect(*this); }
    ~LogCapture() override { Gantry::Log::logger.disconnect(*this); }

    void log(const Gantry::Log::Message& message) override {
        Gantry::MT::Lock lock(mutex_);
        lines_.push_back(std::to_string(message.level) + " " + message.text);
    }

    // "1 text" for an error line, "2 text" for a summary line.
    std::vector<std::string> lines() const {
        Gantry::MT::Lock lock(mutex_);
        return lines_;
    }

  private:
    std::vector<std::string> lines_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Corvid::IndexGen::Testing
