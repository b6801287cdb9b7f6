#include "gantry/mt/read_write_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
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

// Waits (bounded) until the lock reports a waiting writer.
bool await_waiting_writer(const MT::ReadWriteLock& lock) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (lock.writers_waiting() == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Locks taken in one scope and released in another, which the static analysis cannot follow.
void take_read(MT::ReadWriteLock& lock) GANTRY_NO_THREAD_SAFETY_ANALYSIS {
    lock.read_lock();
}
void drop_read(MT::ReadWriteLock& lock) GANTRY_NO_THREAD_SAFETY_ANALYSIS {
    lock.read_unlock();
}
void take_write(MT::ReadWriteLock& lock) GANTRY_NO_THREAD_SAFETY_ANALYSIS {
    lock.write_lock();
}
void drop_write(MT::ReadWriteLock& lock) GANTRY_NO_THREAD_SAFETY_ANALYSIS {
    lock.write_unlock();
}

// Re-entrant use defeats the static analysis, which sees a capability acquired twice.
TEST(ReadWriteLock, WriterIsReentrantMayReadAndEachWriteLockNeedsItsOwnUnlock) {
    MT::ReadWriteLock lock;
    MT::Event first_unlocked;
    MT::Event finish;
    std::atomic<unsigned> readers_seen_by_writer{99};
    // In its own thread so that a self-deadlock fails the test instead of hanging it.
    auto writer = std::async(std::launch::async, [&]() GANTRY_NO_THREAD_SAFETY_ANALYSIS {
        lock.write_lock();
        lock.write_lock();
        lock.read_lock();
        lock.read_lock();
        readers_seen_by_writer = lock.readers();
        lock.read_unlock();
        lock.read_unlock();
        lock.write_unlock();
        first_unlocked.set();
        finish.wait_for(kPatience);
        lock.write_unlock();
    });
    ASSERT_TRUE(first_unlocked.wait_for(kPatience)) << "the writer blocked on itself";
    EXPECT_EQ(readers_seen_by_writer.load(), 0u) << "the writer's read locks are not counted";
    EXPECT_TRUE(lock.writer_active());
    EXPECT_FALSE(lock.held_for_writing()) << "held by the other thread";

    auto reader = std::async(std::launch::async, [&] { MT::ReadGuard guard(lock); });
    EXPECT_FALSE(ready(reader, kBlockedFor)) << "one unlock released a doubly taken write lock";
    drop_write(lock);
    EXPECT_TRUE(lock.writer_active()) << "an unlock from a thread that does not own it counted";
    EXPECT_FALSE(ready(reader, kBlockedFor));

    finish.set();
    EXPECT_TRUE(ready(reader, kPatience)) << "the last unlock did not release the lock";
    ASSERT_TRUE(ready(writer, kPatience));
    EXPECT_FALSE(lock.writer_active());
}

TEST(ReadWriteLock, WriterWaitsForReaders) {
    MT::ReadWriteLock lock;
    take_read(lock);
    std::atomic<bool> writing{false};
    auto writer = std::async(std::launch::async, [&] {
        MT::WriteGuard guard(lock);
        writing = true;
    });
    EXPECT_FALSE(ready(writer, kBlockedFor));
    EXPECT_FALSE(writing);
    drop_read(lock);
    EXPECT_TRUE(ready(writer, kPatience));
    EXPECT_TRUE(writing);
}

TEST(ReadWriteLock, ReadersAreAdmittedWhileReadersAreActiveEvenIfAWriterWaits) {
    MT::ReadWriteLock lock;
    take_read(lock);
    auto writer = std::async(std::launch::async, [&] { MT::WriteGuard guard(lock); });
    ASSERT_TRUE(await_waiting_writer(lock));

    std::promise<void> release_second;
    auto release = release_second.get_future().share();
    std::promise<void> second_in;
    auto second_reader = std::async(std::launch::async, [&] {
        MT::ReadGuard guard(lock);
        second_in.set_value();
        release.wait();
    });
    EXPECT_EQ(second_in.get_future().wait_for(kPatience), std::future_status::ready)
        << "a reader was kept out although a reader was active";
    EXPECT_EQ(lock.readers(), 2u);

    drop_read(lock);
    EXPECT_FALSE(ready(writer, kBlockedFor)) << "the writer ignored the second reader";
    release_second.set_value();
    ASSERT_TRUE(ready(second_reader, kPatience));
    EXPECT_TRUE(ready(writer, kPatience));
}

TEST(ReadWriteLock, ANewReaderWaitsBehindAWaitingWriterWhenNoReaderIsActive) {
    MT::ReadWriteLock lock;
    take_write(lock);
    auto writer = std::async(std::launch::async, [&] { MT::WriteGuard guard(lock); });
    ASSERT_TRUE(await_waiting_writer(lock));
    auto reader = std::async(std::launch::async, [&] { MT::ReadGuard guard(lock); });
    EXPECT_FALSE(ready(reader, kBlockedFor));
    drop_write(lock);
    EXPECT_TRUE(ready(writer, kPatience));
    EXPECT_TRUE(ready(reader, kPatience));
}

TEST(ReadWriteLock, SeveralWritersWaitingForReadersAllGetTheLock) {
    MT::ReadWriteLock lock;
    take_read(lock);
    std::atomic<int> done{0};
    std::vector<std::future<void>> writers;
    for (int i = 0; i < 3; ++i) {
        writers.push_back(std::async(std::launch::async, [&] {
            MT::WriteGuard guard(lock);
            ++done;
        }));
    }
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (lock.writers_waiting() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(lock.writers_waiting(), 3u);
    drop_read(lock);
    for (auto& writer : writers)
        EXPECT_TRUE(ready(writer, kPatience));
    EXPECT_EQ(done.load(), 3);
}

// Writers keep two counters equal; readers must never see them differ.
struct Pair {
    MT::ReadWriteLock lock;
    long first GANTRY_GUARDED_BY(lock) = 0;
    long second GANTRY_GUARDED_BY(lock) = 0;
};

// The writer takes the read lock inside its write lock, which the analysis takes for a double
// acquisition.
bool writer_reads_own_update(Pair& pair)
    GANTRY_REQUIRES(pair.lock) GANTRY_NO_THREAD_SAFETY_ANALYSIS {
    MT::ReadGuard nested(pair.lock);
    return pair.first == pair.second + 1;
}

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
                    if (!writer_reads_own_update(pair)) ++torn;
                    ++pair.second;
                } else {
                    MT::ReadGuard guard(pair.lock);
                    if (pair.first != pair.second) ++torn;
                }
            }
        }));
    }
    for (auto& worker : workers)
        ASSERT_TRUE(ready(worker, std::chrono::milliseconds(60000)));
    EXPECT_EQ(torn.load(), 0);
    MT::ReadGuard guard(pair.lock);
    EXPECT_EQ(pair.first, 4 * kRounds / 4);
    EXPECT_EQ(pair.second, pair.first);
}

}  // namespace
