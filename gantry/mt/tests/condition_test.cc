#include "gantry/mt/condition.h"

#include <gtest/gtest.h>

#include <chrono>

namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

TEST(Condition, TimedWaitReturnsFalseAfterTheDeadline) {
    MT::Mutex mutex;
    MT::Condition cond;
    MT::Lock lock(mutex);
    const auto start = MT::Condition::Clock::now();
    // Spurious wake-ups return true early; loop until the deadline reports false.
    const auto deadline = start + 20ms;
    bool signalled = true;
    while (signalled && MT::Condition::Clock::now() < deadline)
        signalled = cond.wait_until(mutex, deadline);
    EXPECT_FALSE(signalled);
    EXPECT_GE(MT::Condition::Clock::now() - start, 20ms);
}

// Timeouts such as hours(1) or duration::max() are common; now + timeout must not overflow.
TEST(Condition, DeadlineAfterSaturates) {
    EXPECT_EQ(MT::Condition::deadline_after(MT::Condition::Clock::duration::max()),
              MT::Condition::Clock::time_point::max());
    // A negative timeout means now, not five seconds ago.
    const auto before = MT::Condition::Clock::now();
    const auto deadline = MT::Condition::deadline_after(-5s);
    EXPECT_GE(deadline, before);
    EXPECT_LE(deadline, MT::Condition::Clock::now());
}

}  // namespace
