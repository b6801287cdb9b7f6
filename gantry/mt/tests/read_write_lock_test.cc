#include "gantry/mt/read_write_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "gantry/mt/condition.h"

namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;
// How long a blocked operation is watched to check that it stays blocked.
constexpr auto kBlockedFor = 50ms;

bool ready(std::future<void>& done, std::chrono::milliseconds within) {
    return done.wait_for(within) == std::future_status::ready;
}

bool await_waiting_writers(const MT::ReadWriteLock& lock, unsigned count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (lock.writers_waiting() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Guards held in a std::optional are released by reset() in mid-test; the static analysis does not
// follow them, which it could not anyway across the early returns of ASSERT.
using HeldRead = std::optional<MT::ReadGuard>;
using HeldWrite = std::optional<MT::WriteGuard>;

TEST(ReadWriteLock, WriterIsReentrantMayReadAndEachWriteLockNeedsItsOwnUnlock) {
    MT::ReadWriteLock lock;
    MT::Event first_unlocked, finish;
    std::atomic<unsigned> readers_seen_by_writer{99};
    // In its own thread so that a self-deadlock fails the test instead of hanging it.
    auto writer = std::async(std::launch::async, [&]() GANTRY_NO_THREAD_SAFETY_ANALYSIS {
        lock.write_lock();
        lock.write_lock();
        lock.read_lock();
        readers_seen_by_writer = lock.readers();
        lock.read_unlock();
        lock.write_unlock();
        first_unlocked.set();
        finish.wait_for(kPatience);
        lock.write_unlock();
    });
    ASSERT_TRUE(first_unlocked.wait_for(kPatience)) << "the writer blocked on itself";
    EXPECT_EQ(readers_seen_by_writer.load(), 0u) << "the writer's read lock is not counted";

    auto reader = std::async(std::launch::async, [&] { MT::ReadGuard guard(lock); });
    EXPECT_FALSE(ready(reader, kBlockedFor)) << "one unlock released a doubly taken write lock";
    [&]() GANTRY_NO_THREAD_SAFETY_ANALYSIS { lock.write_unlock(); }();
    EXPECT_TRUE(lock.writer_active()) << "an unlock from a thread that does not own it counted";
    EXPECT_FALSE(ready(reader, kBlockedFor));

    finish.set();
    EXPECT_TRUE(ready(reader, kPatience)) << "the last unlock did not release the lock";
    ASSERT_TRUE(ready(writer, kPatience));
}

// Several writers queue behind one reader; the readers-done wake-up must reach all of them.
TEST(ReadWriteLock, WritersWaitForReadersAndAllProceedWhenTheyLeave) {
    MT::ReadWriteLock lock;
    HeldRead reading(std::in_place, lock);
    std::vector<std::future<void>> writers;
    for (int i = 0; i < 3; ++i)
        writers.push_back(std::async(std::launch::async, [&] { MT::WriteGuard guard(lock); }));
    ASSERT_TRUE(await_waiting_writers(lock, 3));
    EXPECT_FALSE(ready(writers[0], kBlockedFor)) << "a writer went in beside a reader";
    reading.reset();
    for (auto& writer : writers)
        EXPECT_TRUE(ready(writer, kPatience));
}

TEST(ReadWriteLock, ReadersAreAdmittedWhileReadersAreActiveEvenIfAWriterWaits) {
    MT::ReadWriteLock lock;
    HeldRead first(std::in_place, lock);
    auto writer = std::async(std::launch::async, [&] { MT::WriteGuard guard(lock); });
    ASSERT_TRUE(await_waiting_writers(lock, 1));

    MT::Event second_in, release_second;
    auto second = std::async(std::launch::async, [&] {
        MT::ReadGuard guard(lock);
        second_in.set();
        release_second.wait_for(kPatience);
    });
    EXPECT_TRUE(second_in.wait_for(kPatience)) << "a reader was kept out beside an active reader";
    EXPECT_EQ(lock.readers(), 2u);

    first.reset();
    EXPECT_FALSE(ready(writer, kBlockedFor)) << "the writer ignored the second reader";
    release_second.set();
    ASSERT_TRUE(ready(second, kPatience));
    EXPECT_TRUE(ready(writer, kPatience));
}

// The reader comes first, while another writer is active, and is woken with the waiting writer
// when that one leaves: it must still let the waiting writer go first. Some rounds, since the two
// race for the lock once woken.
TEST(ReadWriteLock, ANewReaderWaitsBehindAWaitingWriterWhenNoReaderIsActive) {
    for (int round = 0; round < 5; ++round) {
        MT::ReadWriteLock lock;
        HeldWrite writing(std::in_place, lock);
        auto reader = std::async(std::launch::async, [&] { MT::ReadGuard guard(lock); });
        EXPECT_FALSE(ready(reader, kBlockedFor));
        MT::Event writer_in, release_writer;
        auto writer = std::async(std::launch::async, [&] {
            MT::WriteGuard guard(lock);
            writer_in.set();
            release_writer.wait_for(kPatience);
        });
        ASSERT_TRUE(await_waiting_writers(lock, 1));
        writing.reset();
        ASSERT_TRUE(writer_in.wait_for(kPatience));
        EXPECT_FALSE(ready(reader, kBlockedFor)) << "the reader went ahead of the waiting writer";
        release_writer.set();
        EXPECT_TRUE(ready(writer, kPatience));
        EXPECT_TRUE(ready(reader, kPatience));
    }
}

// Writers keep two counters equal; readers must never see them differ.
struct Pair {
    MT::ReadWriteLock lock;
    long first GANTRY_GUARDED_BY(lock) = 0;
    long second GANTRY_GUARDED_BY(lock) = 0;
};

TEST(ReadWriteLock, ReadersNeverSeeAHalfDoneWrite) {
    Pair pair;
    std::atomic<long> torn{0};
    constexpr int kRounds = 2000;
    std::vector<std::future<void>> workers;
    for (int t = 0; t < 4; ++t) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 4 == 0) {
                    MT::WriteGuard guard(pair.lock);
                    ++pair.first;
                    ++pair.second;
                } else {
                    MT::ReadGuard guard(pair.lock);
                    if (pair.first != pair.second) ++torn;
                }
            }
        }));
    }
    for (auto& worker : workers)
        ASSERT_TRUE(ready(worker, 60s));
    EXPECT_EQ(torn.load(), 0);
    MT::ReadGuard guard(pair.lock);
    EXPECT_EQ(pair.first, kRounds);
    EXPECT_EQ(pair.second, kRounds);
}

}  // namespace
