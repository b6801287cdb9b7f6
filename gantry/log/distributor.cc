#include "gantry/log/distributor.h"

#include <algorithm>

namespace Gantry::Log {

void Distributor::connect(Channel& channel) {
    {
        MT::Lock lock(mutex_);
        channels_.push_back(&channel);
    }
    chain_changed();
}

void Distributor::disconnect(Channel& channel) {
    {
        MT::Lock lock(mutex_);
        channels_.erase(std::remove(channels_.begin(), channels_.end(), &channel), channels_.end());
    }
    chain_changed();
}

void Distributor::log(const Message& message) {
    MT::Lock lock(mutex_);
    for (Channel* channel : channels_)
        channel->log(message);
}

uint32_t Distributor::accepted_levels() const {
    MT::Lock lock(mutex_);
    if (channels_.empty()) return UINT32_MAX;
    uint32_t mask = 0;
    for (int level = 0; level < 32; level++) {
        for (const Channel* channel : channels_) {
            if (channel->accepts(level)) {
                mask |= uint32_t{1} << level;
                break;
            }
        }
    }
    return mask;
}

bool Distributor::accepts(int level) const {
    if (level < 0 || level >= 32) {
        MT::Lock lock(mutex_);
        return channels_.empty() ||
               std::any_of(channels_.begin(), channels_.end(),
                           [level](const Channel* channel) { return channel->accepts(level); });
    }
    // The generation is read before the answer is worked out: a change racing with the work
    // bumps it again, and the next caller recomputes.
    const auto generation = static_cast<uint32_t>(chain_generation());
    uint64_t cached = cache_.load(std::memory_order_acquire);
    if (static_cast<uint32_t>(cached >> 32) != generation) {
        cached = uint64_t{generation} << 32 | accepted_levels();
        cache_.store(cached, std::memory_order_release);
    }
    return (cached >> level & 1) != 0;
}

}  // namespace Gantry::Log
