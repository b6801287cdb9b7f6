// An idle ring consumer sleeps with an hour's timeout: only a publish or an interruption can end
// its wait within the test's deadlines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "capture/datagram_ring.h"
#include "capture/tests/source_netns.h"

namespace Corvid::Capture {
namespace {

constexpr std::chrono::hours FOREVER{1};

// Datagrams go one at a time, each once the last was taken, so every publish races with the
// consumer announcing its sleep; a lost wake-up leaves a datagram waiting.
TEST(IdleRingTest, SleepingConsumerWokenByEveryPublish) {
    DatagramRing ring(4, 64);
    constexpr uint32_t count = 2000;
    std::atomic<uint32_t> taken{0};
    std::thread consumer([&] {
        for (uint32_t n = 0; n < count; n++) {
            while (ring.available() == 0)
                ring.wait(FOREVER, true);
            if (*ring.front().data == static_cast<uint8_t>(n)) taken++;
            ring.release();
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (uint32_t n = 0; n < count && std::chrono::steady_clock::now() < deadline; n++) {
        *ring.buffer(0) = static_cast<uint8_t>(n);
        ring.set_length(0, 1);
        ring.publish(1);
        while (ring.free_slots() < ring.slots() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }
    EXPECT_EQ(taken.load(), count);
    ring.interrupt();  // lets a consumer that missed one end
    consumer.join();
}

// A stop ends a sleep, and every later wait returns at once.
TEST(IdleRingTest, InterruptEndsTheSleep) {
    DatagramRing ring(4, 64);
    std::atomic<int> waits{0};
    std::thread consumer([&] {
        for (int i = 0; i < 3; i++, waits++)
            ring.wait(FOREVER, i == 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most often asleep by now
    ring.interrupt();
    EXPECT_TRUE(eventually([&] { return waits == 3; }));
    consumer.join();
}

}  // namespace
}  // namespace Corvid::Capture
