// Collects the lines logged while it exists (connected to the process logger).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "gantry/log/log.h"

namespace Corvid::MPEG::Testing {

class LogCapture : public Gantry::Log::Channel {
  public:
    LogCapture() { Gantry::Log::logger.connect(*this); }
    ~LogCapture() override { Gantry::Log::logger.disconnect(*this); }

    void log(const Gantry::Log::Message& message) override {
        lines_.emplace_back(message.level, message.text);
    }

    // Texts of the error-level lines, in order.
    std::vector<std::string> errors() const {
        std::vector<std::string> out;
        for (const auto& [level, text] : lines_) {
            if (level == Gantry::Log::error_level) out.push_back(text);
        }
        return out;
    }
    size_t count() const { return lines_.size(); }

  private:
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace Corvid::MPEG::Testing
