// A channel that keeps what it receives, for tests.
#pragma once

#include <string>
#include <vector>

#include "gantry/log/log.h"

namespace Gantry::Log::Testing {

class RecordingChannel : public Channel {
  public:
    void log(const Message& message) override {
        MT::Lock lock(mutex_);
        messages_.push_back(message);
    }

    std::vector<Message> messages() const {
        MT::Lock lock(mutex_);
        return messages_;
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Message& message : messages())
            out.push_back(message.text);
        return out;
    }

  private:
    std::vector<Message> messages_ GANTRY_GUARDED_BY(mutex_);
};

// Connects a channel to a distributor for the lifetime of the object.
class ScopedConnection {
  public:
    ScopedConnection(Distributor& distributor, Channel& channel)
        : distributor_(distributor), channel_(channel) {
        distributor_.connect(channel_);
    }
    ~ScopedConnection() { distributor_.disconnect(channel_); }
    ScopedConnection(const ScopedConnection&) = delete;
    ScopedConnection& operator=(const ScopedConnection&) = delete;

  private:
    Distributor& distributor_;
    Channel& channel_;
};

}  // namespace Gantry::Log::Testing
