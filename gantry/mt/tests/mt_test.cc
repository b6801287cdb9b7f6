#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "gantry/mt/mt.h"

namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;  // only reached when a test fails

// Runs a function as the thread body; on_wake stands in for a subclass's wake().
class FunctionThread : public MT::Thread {
  public:
    explicit FunctionThread(
        std::function<void(FunctionThread&)> body, std::function<void()> on_wake = [] {})
        : body_(std::move(body)), on_wake_(std::move(on_wake)) {}
    ~FunctionThread() override { stop(); }

  private:
    void run() override { body_(*this); }
    void wake() override { on_wake_(); }
    std::function<void(FunctionThread&)> body_;
    std::function<void()> on_wake_;
};

TEST(Thread, RunsOnceSeesAnEarlyStopRequestAndEndsEvenByAnException) {
    using Clock = MT::Condition::Clock;  // whose deadlines saturate; a negative timeout means now
    EXPECT_EQ(MT::Condition::deadline_after(Clock::duration::max()), Clock::time_point::max());
    const auto before = Clock::now();
    EXPECT_GE(MT::Condition::deadline_after(-5s), before);
    std::atomic<int> runs{0};
    FunctionThread thread([&](FunctionThread& self) {
        runs += self.stop_requested() ? 1 : 100;
        throw std::runtime_error("job failed");  // ends this thread only
    });
    thread.request_stop();  // before start: run() must still see it
    ASSERT_TRUE(thread.start());
    EXPECT_FALSE(thread.start()) << "a thread object starts only once";
    ASSERT_TRUE(thread.wait_finished(kPatience));
    thread.join();
    EXPECT_EQ(runs.load(), 1);
}

// Relies on ~Thread alone: no destructor of its own, waits only in wait_for_stop().
MT::Event base_only_waiting;
class BaseOnlyWaiter : public MT::Thread {
    void run() override {
        base_only_waiting.set();
        while (!wait_for_stop(std::chrono::hours(1))) {
        }
    }
};

// Deleting a running thread used to cancel it outright. The first waits inside a catch-all frame,
// holding a mutex: had it been cancelled, glibc's forced unwind would be swallowed and the process
// aborted. It must end by itself, cleanly, releasing the mutex.
TEST(ThreadStopMend, DeletingAWaitingThreadStopsItWithoutCancellingUnlessItIgnoresTheRequest) {
    const unsigned long cancellations = MT::Thread::cancellations();
    MT::Mutex held, mutex;
    MT::Condition cond;
    MT::Event waiting;
    std::atomic<bool> clean_exit{false};
    auto on_condition = std::make_unique<FunctionThread>(
        [&](FunctionThread& self) {
            try {
                MT::Lock hold(held);
                MT::Lock lock(mutex);
                waiting.set();
                while (!self.stop_requested())
                    cond.wait(mutex);
            } catch (...) {
                return;
            }
            clean_exit = true;
        },
        [&] {
            MT::Lock lock(mutex);
            cond.broadcast();
        });
    ASSERT_TRUE(on_condition->start());
    ASSERT_TRUE(waiting.wait_for(kPatience));
    auto is_free = [&]() GANTRY_NO_THREAD_SAFETY_ANALYSIS {
        return held.try_lock() && (held.unlock(), true);
    };
    EXPECT_FALSE(is_free());
    on_condition.reset();
    EXPECT_TRUE(is_free()) << "the mutex was not released when the thread stopped";
    EXPECT_TRUE(clean_exit);
    auto base_only = std::make_unique<BaseOnlyWaiter>();
    ASSERT_TRUE(base_only->start());
    ASSERT_TRUE(base_only_waiting.wait_for(kPatience));
    base_only.reset();
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);

    // One blocked in read() on a pipe nobody writes to is cancelled once its grace has passed.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto deaf = std::make_unique<FunctionThread>([&](FunctionThread&) {
        char byte;
        while (::read(fds[0], &byte, 1) == -1 && errno == EINTR) {
        }
    });
    deaf->set_stop_grace(20ms);
    ASSERT_TRUE(deaf->start());
    deaf.reset();
    EXPECT_EQ(MT::Thread::cancellations(), cancellations + 1);
    ::close(fds[0]);
    ::close(fds[1]);
}

bool ready(std::future<void>& done, std::chrono::milliseconds within = 50ms) {
    return done.wait_for(within) == std::future_status::ready;
}

bool await_waiting_writers(const MT::ReadWriteLock& lock, unsigned count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (lock.writers_waiting() < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return lock.writers_waiting() >= count;
}

template <class Guard>
std::future<void> hold(MT::ReadWriteLock& lock, MT::Event& in, MT::Event& release) {
    return std::async(std::launch::async, [&] {
        Guard guard(lock);
        in.set();
        release.wait_for(kPatience);
    });
}

TEST(ReadWriteLock, WriterIsReentrantMayReadAndEachWriteLockNeedsItsOwnUnlock) {
    MT::ReadWriteLock lock;
    auto unlock = [&]() GANTRY_NO_THREAD_SAFETY_ANALYSIS { lock.write_unlock(); };
    [&]() GANTRY_NO_THREAD_SAFETY_ANALYSIS {  // a self-deadlock fails by the test's timeout
        lock.write_lock();
        lock.write_lock();
        lock.read_lock();
        lock.read_unlock();
    }();
    unlock();
    auto blocked = std::async(std::launch::async, [&] { MT::ReadGuard guard(lock); });
    EXPECT_FALSE(ready(blocked)) << "one unlock released a doubly taken write lock";
    std::async(std::launch::async, unlock).wait();
    EXPECT_FALSE(ready(blocked)) << "an unlock from a thread that does not own it counted";
    unlock();
    EXPECT_TRUE(ready(blocked, kPatience)) << "the last unlock did not release the lock";
}

// Writers queue behind readers, which still admit more readers; the readers-done wake-up must
// reach every waiting writer.
TEST(ReadWriteLock, ReadersAdmitReadersWhileWritersWaitAndAllWritersProceedWhenTheyLeave) {
    MT::ReadWriteLock lock;
    MT::Event first_in, second_in, release;
    auto first = hold<MT::ReadGuard>(lock, first_in, release);
    ASSERT_TRUE(first_in.wait_for(kPatience));
    std::vector<std::future<void>> writers;
    for (int i = 0; i < 3; ++i)
        writers.push_back(std::async(std::launch::async, [&] { MT::WriteGuard guard(lock); }));
    ASSERT_TRUE(await_waiting_writers(lock, 3));
    auto second = hold<MT::ReadGuard>(lock, second_in, release);
    EXPECT_TRUE(second_in.wait_for(kPatience)) << "a reader was kept out beside an active reader";
    EXPECT_FALSE(ready(writers[0])) << "a writer went in beside a reader";
    release.set();
    for (auto& writer : writers)
        EXPECT_TRUE(ready(writer, kPatience));
}

// The reader comes first, while another writer is active, and is woken with the waiting writer
// when that one leaves: it must still let the waiting writer go first. Some rounds, since the two
// race for the lock once woken.
TEST(ReadWriteLock, ANewReaderWaitsBehindAWaitingWriterWhenNoReaderIsActive) {
    for (int round = 0; round < 5; ++round) {
        MT::ReadWriteLock lock;
        std::optional<MT::WriteGuard> writing(std::in_place, lock);
        MT::Event reader_in, writer_in, release;
        auto late_reader = hold<MT::ReadGuard>(lock, reader_in, release);
        EXPECT_FALSE(reader_in.wait_for(50ms));
        auto writer = hold<MT::WriteGuard>(lock, writer_in, release);
        ASSERT_TRUE(await_waiting_writers(lock, 1));
        writing.reset();
        ASSERT_TRUE(writer_in.wait_for(kPatience));
        EXPECT_FALSE(reader_in.wait_for(50ms)) << "the reader went ahead of the waiting writer";
        release.set();
        EXPECT_TRUE(ready(late_reader, kPatience));
    }
}

// Writers keep two counters equal; readers must never see them differ.
TEST(ReadWriteLock, ReadersNeverSeeAHalfDoneWrite) {
    MT::ReadWriteLock lock;
    long first = 0, second = 0;
    std::atomic<long> torn{0};
    std::vector<std::future<void>> workers;
    for (int t = 0; t < 4; ++t)
        workers.push_back(std::async(std::launch::async, [&, t] {
            for (int i = 0; i < 2000; ++i) {
                if ((i + t) % 4 == 0) {
                    MT::WriteGuard guard(lock);
                    ++first, ++second;
                } else {
                    MT::ReadGuard guard(lock);
                    torn += first != second;
                }
            }
        }));
    for (auto& worker : workers)
        ASSERT_TRUE(ready(worker, 60s));
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(first + second, 4000);
}

std::atomic<int> live_workers{0};

// A worker whose job is a function given with the kick.
class Worker : public MT::PoolThread {
  public:
    explicit Worker(MT::IPoolReplacer* replacer) : PoolThread(replacer) { ++live_workers; }
    ~Worker() override {
        kill(true);
        --live_workers;
    }
    void give(std::function<void(Worker&)> job) {
        job_ = std::move(job);
        kick();
    }
    using Thread::wait_for_stop;

  private:
    void run() override { job_(*this); }
    std::function<void(Worker&)> job_;
};
using Pool = MT::ThreadPool<Worker>;

// Takes block at the maximum until a worker comes back; shutdown stops busy workers without
// cancelling them and releases a blocked take.
TEST(ThreadPool, TakeBlocksAtTheMaximumAndShutdownStopsBusyWorkersAndReleasesIt) {
    const unsigned long cancellations = MT::Thread::cancellations();
    const int before = live_workers.load();
    auto until_stopped = [](Worker& self) {
        while (!self.wait_for_stop(std::chrono::hours(1))) {
        }
    };
    Pool pool(1, 2);
    MT::Event release;
    Worker* first = pool.take();
    Worker* second = pool.take();
    ASSERT_TRUE(first && second && first != second);
    first->give(until_stopped);
    second->give([&](Worker&) { release.wait_for(kPatience); });
    EXPECT_EQ(pool.take_for(50ms), nullptr) << "took a third worker beyond the maximum";
    auto third = std::async(std::launch::async, [&] { return pool.take(); });
    EXPECT_EQ(third.wait_for(50ms), std::future_status::timeout);
    release.set();
    ASSERT_EQ(third.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(third.get(), second) << "the worker that came back is the one handed out";
    second->give(until_stopped);
    auto blocked = std::async(std::launch::async, [&] { return pool.take(); });
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    pool.shutdown();
    ASSERT_EQ(blocked.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(blocked.get(), nullptr);
    EXPECT_EQ(live_workers.load(), before);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
    EXPECT_EQ(pool.take_for(kPatience), nullptr) << "a shut-down pool handed out a worker";
}

TEST(ThreadPool, ConcurrentTakersShareTheWorkers) {
    Pool pool(2, 3);
    std::atomic<int> ran{0}, over{0};
    std::vector<std::future<void>> takers;
    for (int t = 0; t < 4; ++t)
        takers.push_back(std::async(std::launch::async, [&] {
            for (int i = 0; i < 50; ++i)
                pool.take()->give([&](Worker&) { ++ran, over += pool.busy_count() > 3; });
        }));
    for (auto& taker : takers)
        ASSERT_EQ(taker.wait_for(60s), std::future_status::ready);
    ASSERT_TRUE(pool.wait_idle(kPatience));
    EXPECT_EQ(ran.load(), 200);
    EXPECT_EQ(over.load(), 0) << "more workers busy than the pool's maximum";
}

TEST(ThreadPool, TrimDeletesSpareWorkersBeyondTheMinimumAndZeroActsAsOne) {
    const int before = live_workers.load();
    Pool pool(2, 0);
    MT::Event release;
    for (int i = 0; i < 4; ++i)
        pool.take()->give([&](Worker&) { release.wait_for(kPatience); });
    release.set();
    ASSERT_TRUE(pool.wait_idle(kPatience));
    pool.trim();
    EXPECT_EQ(live_workers.load() - before, 2) << "trimmed spares beyond two were not deleted";
    std::atomic<int> made{0};
    Pool one(0, 10, false,
             [&](MT::IPoolReplacer* replacer) { return ++made, new Worker(replacer); });
    one.take_for(kPatience)->give([](Worker&) {});
    ASSERT_TRUE(one.wait_idle(kPatience));
    one.trim();
    EXPECT_EQ(one.spare_count(), 1u);
    EXPECT_EQ(made.load(), 1) << "workers come from the pool's factory";
}

// Jobs end at the moment shutdown starts, so kills land between a job's end and the worker going
// idle again. A lost kick would leave a worker asleep until it is cancelled.
TEST(ThreadPool, ShutdownRightAfterJobsFinishLosesNoKill) {
    const unsigned long cancellations = MT::Thread::cancellations();
    for (int round = 0; round < 20; ++round) {
        Pool pool(2, 0);
        pool.set_stop_grace(5s);
        for (int i = 0; i < 4; ++i)
            pool.take()->give([](Worker&) {});
        pool.shutdown();
    }
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

}  // namespace
