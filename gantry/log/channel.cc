#include "gantry/log/channel.h"

#include <atomic>

namespace Gantry::Log {

namespace {

// Constant-initialised, so usable from any static initialiser. Starts at 1 so that a cache word
// of 0 never looks current.
std::atomic<uint64_t> generation{1};

}  // namespace

Channel::~Channel() = default;

bool Channel::accepts(int) const {
    return true;
}

void Channel::chain_changed() {
    generation.fetch_add(1, std::memory_order_acq_rel);
}

uint64_t Channel::chain_generation() {
    return generation.load(std::memory_order_acquire);
}

}  // namespace Gantry::Log
