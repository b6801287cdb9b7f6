#include "gantry/mt/condition.h"

#include <gtest/gtest.h>

#include <chrono>

namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

TEST(Condition, TimedWaitEndsAtTheDeadlineAndDeadlinesSaturate) {
    using Clock = MT::Condition::Clock;
    MT::Mutex mutex;
    MT::Condition cond;
    MT::Lock lock(mutex);
    const auto start = Clock::now();
    const auto deadline = MT::Condition::deadline_after(20ms);
    bool signalled = true;  // spurious wake-ups return true early
    while (signalled && Clock::now() < deadline)
        signalled = cond.wait_until(mutex, deadline);
    EXPECT_FALSE(signalled);
    EXPECT_GE(Clock::now() - start, 20ms);
    // Timeouts such as hours(1) or duration::max() are common; now + timeout must not overflow,
    // and a negative timeout means now, not five seconds ago.
    EXPECT_EQ(MT::Condition::deadline_after(Clock::duration::max()), Clock::time_point::max());
    const auto before = Clock::now();
    const auto now = MT::Condition::deadline_after(-5s);
    EXPECT_GE(now, before);
    EXPECT_LE(now, Clock::now());
}

}  // namespace
