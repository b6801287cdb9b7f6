#include "gantry/mt/thread_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
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

TEST(ThreadPool, MinimumSpareZeroBehavesAsOne) {
    Pool pool(0, 10);
    EXPECT_EQ(pool.minimum_spare(), 1u);
    Worker* worker = pool.take_for(kPatience);
    ASSERT_NE(worker, nullptr) << "a pool with minimum spare 0 had no worker to give";
    EXPECT_EQ(pool.busy_count(), 1u);
    EXPECT_EQ(pool.spare_count(), 0u);
    std::atomic<int> ran{0};
    give(worker, [&](Worker&) { ++ran; });
    ASSERT_TRUE(pool.wait_idle(kPatience));
    EXPECT_EQ(ran.load(), 1);
    pool.trim();
    EXPECT_EQ(pool.spare_count(), 1u) << "trim went below the effective minimum of one";
}

TEST(ThreadPool, TakeTopsUpTheSpareListToTheMinimum) {
    Pool pool(3, 10);
    Worker* worker = pool.take();
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(pool.spare_count(), 2u);
    EXPECT_EQ(pool.busy_count(), 1u);
    pool.give_back(worker);
    EXPECT_EQ(pool.spare_count(), 3u);
    EXPECT_EQ(pool.busy_count(), 0u);
}

TEST(ThreadPool, TakeBlocksAtTheMaximumUntilAWorkerIsReplaced) {
    Pool pool(1, 2);
    MT::Event release_first, release_second;
    Worker* first = pool.take();
    Worker* second = pool.take();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(first, second);
    give(first, [&](Worker&) { release_first.wait_for(kPatience); });
    give(second, [&](Worker&) { release_second.wait_for(kPatience); });
    EXPECT_EQ(pool.busy_count(), 2u);

    EXPECT_EQ(pool.take_for(50ms), nullptr) << "took a third worker beyond the maximum";
    auto third = std::async(std::launch::async, [&] { return pool.take(); });
    EXPECT_EQ(third.wait_for(50ms), std::future_status::timeout);

    release_second.set();
    ASSERT_EQ(third.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(third.get(), second) << "the worker that came back is the one handed out";
    EXPECT_EQ(pool.busy_count(), 2u);
    EXPECT_EQ(pool.spare_count(), 0u);
    release_first.set();
    pool.give_back(second);
    EXPECT_TRUE(pool.wait_idle(kPatience));
}

TEST(ThreadPool, ConcurrentTakersShareTheWorkers) {
    Pool pool(2, 3);
    std::atomic<int> ran{0};
    std::atomic<int> concurrent{0}, peak{0};
    std::vector<std::future<void>> takers;
    for (int t = 0; t < 4; ++t) {
        takers.push_back(std::async(std::launch::async, [&] {
            for (int i = 0; i < 50; ++i) {
                Worker* worker = pool.take_for(kPatience);
                if (worker == nullptr) return;
                give(worker, [&](Worker&) {
                    int now = ++concurrent;
                    int seen = peak.load();
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

TEST(ThreadPool, TrimRemovesSpareWorkersBeyondTheMinimum) {
    const int before = live_workers.load();
    {
        Pool pool(2, 0);
        MT::Event release;
        std::vector<Worker*> taken;
        for (int i = 0; i < 4; ++i) {
            Worker* worker = pool.take();
            ASSERT_NE(worker, nullptr);
            taken.push_back(worker);
        }
        // Each take topped the spare list up to two before taking one.
        EXPECT_EQ(pool.spare_count(), 1u);
        EXPECT_EQ(pool.busy_count(), 4u);
        for (Worker* worker : taken)
            give(worker, [&](Worker&) { release.wait_for(kPatience); });
        pool.trim();
        EXPECT_EQ(pool.spare_count(), 1u) << "trim never adds workers";
        release.set();
        ASSERT_TRUE(pool.wait_idle(kPatience));
        EXPECT_EQ(pool.spare_count(), 5u);
        pool.trim();
        EXPECT_EQ(pool.spare_count(), 2u);
        EXPECT_EQ(live_workers.load() - before, 2) << "trimmed workers were not deleted";
    }
    EXPECT_EQ(live_workers.load(), before);
}

TEST(ThreadPool, ShutdownStopsBusyWorkersWithoutCancelling) {
    const unsigned long cancellations = MT::Thread::cancellations();
    const int before = live_workers.load();
    std::atomic<int> clean_exits{0};
    Pool pool(1, 0);
    std::vector<std::shared_ptr<MT::Event>> started;
    for (int i = 0; i < 3; ++i) {
        Worker* worker = pool.take();
        ASSERT_NE(worker, nullptr);
        auto event = std::make_shared<MT::Event>();
        started.push_back(event);
        // A job that only ends when asked, inside a catch-all frame that a cancellation's forced
        // unwind would turn into an abort.
        give(worker, [&, event](Worker& self) {
            try {
                event->set();
                while (!self.wait_for_stop(std::chrono::hours(1))) {
                }
            } catch (...) {
                return;
            }
            ++clean_exits;
        });
    }
    for (auto& event : started)
        ASSERT_TRUE(event->wait_for(kPatience));
    EXPECT_EQ(pool.busy_count(), 3u);
    pool.shutdown();
    EXPECT_EQ(clean_exits.load(), 3);
    EXPECT_EQ(pool.busy_count(), 0u);
    EXPECT_EQ(pool.spare_count(), 0u);
    EXPECT_EQ(live_workers.load(), before);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
    EXPECT_EQ(pool.take_for(kPatience), nullptr) << "a shut-down pool handed out a worker";
    pool.shutdown();  // later calls do nothing
}

TEST(ThreadPool, ShutdownReleasesABlockedTake) {
    Pool pool(1, 1);
    MT::Event release;
    Worker* only = pool.take();
    ASSERT_NE(only, nullptr);
    give(only, [&](Worker& self) {
        while (!release.is_set() && !self.wait_for_stop(std::chrono::hours(1))) {
        }
    });
    auto blocked = std::async(std::launch::async, [&] { return pool.take(); });
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    pool.shutdown();
    ASSERT_EQ(blocked.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(blocked.get(), nullptr);
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

TEST(ThreadPool, RealtimeWorkersRunUnderSchedRrWhenPermitted) {
    sched_param probe{};
    probe.sched_priority = 10;
    int old_policy;
    sched_param old_param;
    pthread_getschedparam(pthread_self(), &old_policy, &old_param);
    const bool permitted = pthread_setschedparam(pthread_self(), SCHED_RR, &probe) == 0;
    pthread_setschedparam(pthread_self(), old_policy, &old_param);

    Pool pool(1, 2, true);
    EXPECT_TRUE(pool.realtime());
    Worker* worker = pool.take();
    ASSERT_NE(worker, nullptr) << "realtime workers must be handed out even without privilege";
    std::promise<std::pair<int, int>> observed;
    give(worker, [&](Worker&) {
        int policy;
        sched_param param;
        pthread_getschedparam(pthread_self(), &policy, &param);
        observed.set_value({policy, param.sched_priority});
    });
    auto result = observed.get_future();
    ASSERT_EQ(result.wait_for(kPatience), std::future_status::ready);
    auto [policy, priority] = result.get();
    if (!permitted)
        GTEST_SKIP() << "this process may not use SCHED_RR; checked the pool still works";
    EXPECT_EQ(policy, SCHED_RR);
    EXPECT_EQ(priority, 10);
}

TEST(ThreadPool, AFactoryGivesWorkersTheirContext) {
    std::atomic<int> made{0};
    Pool pool(1, 1, false, [&](MT::IPoolReplacer* replacer) {
        ++made;
        return new Worker(replacer);
    });
    Worker* worker = pool.take();
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(made.load(), 1);
    pool.give_back(worker);
}

TEST(PoolThread, KickWhileIdleRunsTheJobOnceAndKillEndsTheIdleThread) {
    MT::Event ran;
    std::atomic<int> runs{0};
    Worker worker(nullptr);
    ASSERT_TRUE(worker.is_created());
    worker.assign([&](Worker&) {
        ++runs;
        ran.set();
    });
    worker.kick();
    ASSERT_TRUE(ran.wait_for(kPatience));
    EXPECT_TRUE(worker.is_running()) << "a worker idles between jobs";
    const unsigned long cancellations = MT::Thread::cancellations();
    worker.kill(true);
    EXPECT_FALSE(worker.is_running());
    EXPECT_TRUE(worker.is_dying());
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

}  // namespace
