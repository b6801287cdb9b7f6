#include "gantry/mt/condition.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

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
    while (signalled && MT::Condition::Clock::now() < deadline) {
        signalled = cond.wait_until(mutex, deadline);
    }
    EXPECT_FALSE(signalled);
    EXPECT_GE(MT::Condition::Clock::now() - start, 20ms);
}

TEST(Condition, DeadlineAfterSaturates) {
    EXPECT_EQ(MT::Condition::deadline_after(MT::Condition::Clock::duration::max()),
              MT::Condition::Clock::time_point::max());
    // A negative timeout means now, not five seconds ago.
    const auto before = MT::Condition::Clock::now();
    const auto deadline = MT::Condition::deadline_after(-5s);
    const auto after = MT::Condition::Clock::now();
    EXPECT_GE(deadline, before);
    EXPECT_LE(deadline, after);
}

TEST(Event, SetReleasesWaitersAndStaysSetUntilReset) {
    MT::Event event;
    EXPECT_FALSE(event.is_set());
    EXPECT_FALSE(event.wait_for(1ms));
    auto waiter = std::async(std::launch::async, [&] { return event.wait_for(10s); });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    event.set();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_TRUE(event.wait_for(0ms));
    event.reset();
    EXPECT_FALSE(event.is_set());
}

}  // namespace
