// Log::Channel, the link type of the log chain, and Log::Filter, a channel that passes messages
// on to the next one.
#pragma once

#include <cstdint>

#include "gantry/log/message.h"
#include "gantry/mt/mutex.h"

namespace Gantry::Log {

// Threading: log() and accepts() may be called from any thread at any time; each channel guards
// its own mutable state with mutex_. A channel must not log to a distributor it is called from
// (the distributor's lock is held during delivery).
class Channel {
  public:
    Channel() = default;
    virtual ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Delivers one message, synchronously, on the calling thread.
    virtual void log(const Message& message) = 0;

    // Whether a message of this level could get through this channel to an output. Level streams
    // ask once, when they are created, and skip all formatting when the answer is no; log() still
    // filters as before. The answer must err on the side of true. A channel whose answer changes
    // after construction must call chain_changed() when it does.
    virtual bool accepts(int level) const;

    // Invalidates the answers that distributors cache for accepts().
    static void chain_changed();
    static uint64_t chain_generation();

  protected:
    mutable MT::Mutex mutex_;
};

// Passes messages on to `next`, which is not owned and must outlive the filter.
class Filter : public Channel {
  public:
    explicit Filter(Channel& next) : next_(next) {}

    bool accepts(int level) const override { return next_.accepts(level); }

  protected:
    Channel& next_;
};

}  // namespace Gantry::Log
