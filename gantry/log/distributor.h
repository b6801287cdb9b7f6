// Log::Distributor: hands every message to each connected channel in connection order.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "gantry/log/channel.h"
#include "gantry/mt/annotations.h"

namespace Gantry::Log {

// Channels are not owned: disconnect a channel before destroying it. Delivery, connect and
// disconnect all take the distributor's mutex, so a channel is never called after disconnect()
// has returned, and lines from different threads reach the channels one at a time.
class Distributor : public Channel {
  public:
    Distributor() = default;

    // Appends; a channel connected twice receives each message twice.
    void connect(Channel& channel);
    // Removes every occurrence.
    void disconnect(Channel& channel);

    void log(const Message& message) override;
    // True if any connected channel accepts the level, and also while nothing is connected: a
    // distributor without channels is taken as not set up yet, so level streams created before
    // the chain is built (members of static objects, say) stay enabled and deliver once it is.
    // Cached until the chain changes, so a level stream asks without taking the lock.
    bool accepts(int level) const override;

  private:
    uint32_t accepted_levels() const;

    std::vector<Channel*> channels_ GANTRY_GUARDED_BY(mutex_);
    // Low 32 bits: which of the levels 0-31 some channel accepts; high 32 bits: the chain
    // generation that answer belongs to.
    mutable std::atomic<uint64_t> cache_{0};
};

}  // namespace Gantry::Log
