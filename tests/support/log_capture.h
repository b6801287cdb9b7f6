// Log channels for tests: one that records what reaches it, and one that records what the
// process logger receives while it exists. Tests using them link gantry_log.
#pragma once

#include <string>
#include <vector>

#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Corvid::Testing {

class RecordingChannel : public Gantry::Log::Channel {
  public:
    using Messages = std::vector<Gantry::Log::Message>;

    void log(const Gantry::Log::Message& message) override {
        Gantry::MT::Lock lock(mutex_);
        messages_.push_back(message);
    }
    Messages messages() const {
        Gantry::MT::Lock lock(mutex_);
        return messages_;
    }
    std::vector<std::string> texts() const { return select(0, ""); }
    // Texts of the error-level lines, in order.
    std::vector<std::string> errors() const { return select(Gantry::Log::error_level, ""); }
    // Every line as "<level> <text>", such as "1 Found CAT" for an error line.
    std::vector<std::string> lines() const { return format(messages()); }
    // The same, forgetting what was taken.
    std::vector<std::string> take() {
        Messages taken;
        Gantry::MT::Lock lock(mutex_);
        taken.swap(messages_);
        return format(taken);
    }
    size_t count() const { return messages().size(); }
    // Lines containing text (at that level, unless level is 0).
    size_t count(const std::string& text, int level = 0) const {
        return select(level, text).size();
    }
    bool contains(const std::string& text, int level = 0) const { return count(text, level) > 0; }
    // Whether "<level> <text>" was logged exactly.
    bool has_line(const std::string& line) const {
        for (const auto& l : lines())
            if (l == line) return true;
        return false;
    }
    void clear() {
        Gantry::MT::Lock lock(mutex_);
        messages_.clear();
    }

  private:
    std::vector<std::string> select(int level, const std::string& text) const {
        std::vector<std::string> out;
        for (const auto& m : messages())
            if ((level == 0 || m.level == level) && m.text.find(text) != std::string::npos)
                out.push_back(m.text);
        return out;
    }
    static std::vector<std::string> format(const Messages& messages) {
        std::vector<std::string> out;
        for (const auto& m : messages)
            out.push_back(std::to_string(m.level) + " " + m.text);
        return out;
    }

    Messages messages_ GANTRY_GUARDED_BY(mutex_);
};

// Connects a channel to a distributor for the lifetime of the object.
class ScopedConnection {
  public:
    ScopedConnection(Gantry::Log::Distributor& distributor, Gantry::Log::Channel& channel)
        : distributor_(distributor), channel_(channel) {
        distributor_.connect(channel_);
    }
    ~ScopedConnection() { distributor_.disconnect(channel_); }
    ScopedConnection(const ScopedConnection&) = delete;
    ScopedConnection& operator=(const ScopedConnection&) = delete;

  private:
    Gantry::Log::Distributor& distributor_;
    Gantry::Log::Channel& channel_;
};

// Records what the process logger receives while it exists.
class LogCapture : public RecordingChannel {
  public:
    LogCapture() { Gantry::Log::logger.connect(*this); }
    ~LogCapture() override { Gantry::Log::logger.disconnect(*this); }
    LogCapture(const LogCapture&) = delete;
};

}  // namespace Corvid::Testing
