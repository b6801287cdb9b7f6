// Collects the lines logged while it exists, as "<level> <text>".
#pragma once

#include <string>
#include <vector>

#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Corvid::Index2::Testing {

class LogLines final : public Gantry::Log::Channel {
  public:
    LogLines() { Gantry::Log::logger.connect(*this); }
    ~LogLines() override { Gantry::Log::logger.disconnect(*this); }
    void log(const Gantry::Log::Message& message) override {
        Gantry::MT::Lock lock(mutex_);
        lines_.push_back(std::to_string(message.level) + " " + message.text);
    }
    std::vector<std::string> take() {
        Gantry::MT::Lock lock(mutex_);
        std::vector<std::string> out;
        out.swap(lines_);
        return out;
    }

  private:
    std::vector<std::string> lines_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Corvid::Index2::Testing
