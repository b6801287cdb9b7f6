#include "gantry/mt/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "gantry/mt/condition.h"

namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;

std::atomic<int> live_workers{0};

// A worker whose job is a function filled in by the taker.
class Worker : public MT::PoolThread {
  public:
    explicit Worker(MT::IPoolReplacer* replacer) : PoolThread(replacer) { ++live_workers; }
    ~Worker() override {
        kill(true);
        --live_workers;
    }
    void assign(std::function<void(Worker&)> job) { job_ = std::move(job); }
    using Thread::wait_for_stop;

  private:
    void run() override {
        if (job_) job_(*this);
    }
    std::function<void(Worker&)> job_;
};

using Pool = MT::ThreadPool<Worker>;

void give(Worker* worker, std::function<void(Worker&)> job) {
    worker->assign(std::move(job));
    worker->kick();
}

TEST(ThreadPool, TakeBlocksAtTheMaximumUntilAWorkerIsReplaced) {
    Pool pool(1, 2);
    MT::Event release_first, release_second;
    Worker* first = pool.take();
    Worker* second = pool.take();
    ASSERT_TRUE(first && second && first != second);
    give(first, [&](Worker&) { release_first.wait_for(kPatience); });
    give(second, [&](Worker&) { release_second.wait_for(kPatience); });

    EXPECT_EQ(pool.take_for(50ms), nullptr) << "took a third worker beyond the maximum";
    auto third = std::async(std::launch::async, [&] { return pool.take(); });
    EXPECT_EQ(third.wait_for(50ms), std::future_status::timeout);
    release_second.set();
    ASSERT_EQ(third.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(third.get(), second) << "the worker that came back is the one handed out";
    EXPECT_EQ(pool.busy_count(), 2u);
    release_first.set();
    pool.give_back(second);
    EXPECT_TRUE(pool.wait_idle(kPatience));
}

TEST(ThreadPool, ConcurrentTakersShareTheWorkers) {
    Pool pool(2, 3);
    std::atomic<int> ran{0}, concurrent{0}, peak{0};
    std::vector<std::future<void>> takers;
    for (int t = 0; t < 4; ++t) {
        takers.push_back(std::async(std::launch::async, [&] {
            for (int i = 0; i < 50; ++i) {
                Worker* worker = pool.take_for(kPatience);
                if (worker == nullptr) return;
                give(worker, [&](Worker&) {
                    int now = ++concurrent, seen = peak.load();
                    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                    }
                    ++ran;
                    --concurrent;
                });
            }
        }));
    }
    for (auto& taker : takers)
        ASSERT_EQ(taker.wait_for(60s), std::future_status::ready);
    ASSERT_TRUE(pool.wait_idle(kPatience));
    EXPECT_EQ(ran.load(), 200);
    EXPECT_LE(peak.load(), 3) << "more jobs ran at once than the pool's maximum";
}

TEST(ThreadPool, TrimStopsAndDeletesSpareWorkersBeyondTheMinimum) {
    const int before = live_workers.load();
    const unsigned long cancellations = MT::Thread::cancellations();
    {
        Pool pool(2, 0);
        MT::Event release;
        for (int i = 0; i < 4; ++i) {
            Worker* worker = pool.take();
            ASSERT_NE(worker, nullptr);
            give(worker, [&](Worker&) { release.wait_for(kPatience); });
        }
        // Each take topped the spare list up to two before taking one.
        EXPECT_EQ(pool.spare_count(), 1u);
        release.set();
        ASSERT_TRUE(pool.wait_idle(kPatience));
        EXPECT_EQ(pool.spare_count(), 5u);
        pool.trim();
        EXPECT_EQ(pool.spare_count(), 2u);
        EXPECT_EQ(live_workers.load() - before, 2) << "trimmed workers were not deleted";
        // A minimum of zero behaves as one, and workers come from the pool's factory.
        std::atomic<int> made{0};
        Pool one(0, 10, false, [&](MT::IPoolReplacer* replacer) {
            ++made;
            return new Worker(replacer);
        });
        Worker* worker = one.take_for(kPatience);
        ASSERT_NE(worker, nullptr) << "a pool with minimum spare 0 had no worker to give";
        EXPECT_EQ(made.load(), 1);
        give(worker, [](Worker&) {});
        ASSERT_TRUE(one.wait_idle(kPatience));
        one.trim();
        EXPECT_EQ(one.spare_count(), 1u) << "trim went below the effective minimum of one";
    }
    EXPECT_EQ(live_workers.load(), before);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations) << "idle workers must end when asked";
}

TEST(ThreadPool, ShutdownStopsBusyWorkersWithoutCancellingAndReleasesABlockedTake) {
    const unsigned long cancellations = MT::Thread::cancellations();
    const int before = live_workers.load();
    std::atomic<int> clean_exits{0};
    Pool pool(1, 3);
    for (int i = 0; i < 3; ++i) {
        Worker* worker = pool.take();
        ASSERT_NE(worker, nullptr);
        auto started = std::make_shared<MT::Event>();
        // A job that only ends when asked, inside a catch-all frame that a cancellation's forced
        // unwind would turn into an abort.
        give(worker, [&, started](Worker& self) {
            try {
                started->set();
                while (!self.wait_for_stop(std::chrono::hours(1))) {
                }
            } catch (...) {
                return;
            }
            ++clean_exits;
        });
        ASSERT_TRUE(started->wait_for(kPatience));
    }
    auto blocked = std::async(std::launch::async, [&] { return pool.take(); });
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    pool.shutdown();
    ASSERT_EQ(blocked.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(blocked.get(), nullptr);
    EXPECT_EQ(clean_exits.load(), 3);
    EXPECT_EQ(pool.busy_count() + pool.spare_count(), 0u);
    EXPECT_EQ(live_workers.load(), before);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
    EXPECT_EQ(pool.take_for(kPatience), nullptr) << "a shut-down pool handed out a worker";
    pool.shutdown();  // later calls do nothing
}

TEST(ThreadPool, ShutdownRightAfterJobsFinishLosesNoWakeUp) {
    // Jobs end at the moment shutdown starts, so kills land between a job's end and the worker
    // going idle again. A lost kick would leave a worker asleep until it is cancelled.
    const unsigned long cancellations = MT::Thread::cancellations();
    for (int round = 0; round < 20; ++round) {
        Pool pool(2, 0);
        pool.set_stop_grace(5s);
        for (int i = 0; i < 4; ++i) {
            Worker* worker = pool.take();
            ASSERT_NE(worker, nullptr);
            give(worker, [](Worker&) {});
        }
        pool.shutdown();
    }
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

}  // namespace
