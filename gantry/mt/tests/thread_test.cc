#include "gantry/mt/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>

#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"

namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

// Generous bound for things that should happen at once; only reached when a test fails.
constexpr auto kPatience = 10s;

// Runs a function as the thread body.
class FunctionThread : public MT::Thread {
  public:
    explicit FunctionThread(std::function<void(FunctionThread&)> body) : body_(std::move(body)) {}
    ~FunctionThread() override { stop(); }
    using Thread::wait_for_stop;

  private:
    void run() override { body_(*this); }
    std::function<void(FunctionThread&)> body_;
};

TEST(Thread, RunsOnceAndReportsRunningUntilRunReturns) {
    MT::Event release;
    std::atomic<int> runs{0};
    FunctionThread thread([&](FunctionThread&) {
        ++runs;
        release.wait_for(kPatience);
    });
    EXPECT_FALSE(thread.is_running());
    EXPECT_FALSE(thread.is_created());
    ASSERT_TRUE(thread.start());
    EXPECT_TRUE(thread.is_created());
    EXPECT_TRUE(thread.is_running());
    EXPECT_FALSE(thread.start()) << "a thread object starts only once";
    release.set();
    ASSERT_TRUE(thread.wait_finished(kPatience));
    EXPECT_FALSE(thread.is_running());
    thread.join();
    thread.join();  // joining again is harmless
    EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, DestroyingAFinishedThreadJoinsWithoutCancelling) {
    const unsigned long cancellations = MT::Thread::cancellations();
    std::atomic<bool> reached_end{false};
    auto thread = std::make_unique<FunctionThread>([&](FunctionThread&) { reached_end = true; });
    ASSERT_TRUE(thread->start());
    ASSERT_TRUE(thread->wait_finished(kPatience));
    thread.reset();
    EXPECT_TRUE(reached_end);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

TEST(Thread, DestroyingANeverStartedThreadDoesNothing) {
    const unsigned long cancellations = MT::Thread::cancellations();
    auto thread = std::make_unique<FunctionThread>([](FunctionThread&) {});
    EXPECT_TRUE(thread->stop_and_join(0ms));
    thread.reset();
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

TEST(Thread, WaitForStopTimesOutWithoutARequestAndReturnsEarlyWithOne) {
    std::atomic<bool> first_wait_result{true};
    MT::Event first_wait_done;
    std::atomic<bool> second_wait_result{false};
    FunctionThread thread([&](FunctionThread& self) {
        first_wait_result = self.wait_for_stop(1ms);
        first_wait_done.set();
        second_wait_result = self.wait_for_stop(std::chrono::hours(1));
    });
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(first_wait_done.wait_for(kPatience));
    EXPECT_FALSE(first_wait_result);
    EXPECT_FALSE(thread.stop_requested());
    const unsigned long cancellations = MT::Thread::cancellations();
    EXPECT_TRUE(thread.stop_and_join(kPatience));
    EXPECT_TRUE(second_wait_result);
    EXPECT_TRUE(thread.stop_requested());
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

bool may_use_sched_rr() {
    sched_param probe{};
    probe.sched_priority = 10;
    int old_policy;
    sched_param old_param;
    pthread_getschedparam(pthread_self(), &old_policy, &old_param);
    const bool permitted = pthread_setschedparam(pthread_self(), SCHED_RR, &probe) == 0;
    pthread_setschedparam(pthread_self(), old_policy, &old_param);
    return permitted;
}

TEST(Thread, SetPriority) {
    FunctionThread never_started([](FunctionThread&) {});
    EXPECT_FALSE(never_started.set_priority(0, false)) << "no thread to set";

    FunctionThread thread([](FunctionThread& self) { self.wait_for_stop(kPatience); });
    ASSERT_TRUE(thread.start());
    EXPECT_TRUE(thread.set_priority(0, false));
    EXPECT_FALSE(thread.set_priority(5, false)) << "SCHED_OTHER only has priority 0";
    if (may_use_sched_rr()) {
        EXPECT_TRUE(thread.set_priority(10, true));
        EXPECT_FALSE(thread.set_priority(1000, true)) << "out of the SCHED_RR range";
    }
    thread.stop();
    EXPECT_FALSE(thread.set_priority(0, false)) << "a joined thread has no handle";
}

// The body of the threads below is wrapped in a catch-all frame: had they been cancelled, glibc's
// forced unwind would be swallowed and the process aborted.

// Blocks on its own condition variable, which only wake() signals.
class CondWaiter : public MT::Thread {
  public:
    CondWaiter(std::atomic<bool>& clean_exit, MT::Event& waiting)
        : clean_exit_(clean_exit), waiting_(waiting) {}
    ~CondWaiter() override { stop(); }

  private:
    void run() override {
        try {
            MT::Lock lock(mutex_);
            waiting_.set();
            while (!stop_requested())
                cond_.wait(mutex_);
        } catch (...) {
            return;  // would swallow a forced unwind: never reached when stopped cleanly
        }
        clean_exit_ = true;
    }
    void wake() override {
        MT::Lock lock(mutex_);
        cond_.broadcast();
    }

    std::atomic<bool>& clean_exit_;
    MT::Event& waiting_;
    MT::Mutex mutex_;
    MT::Condition cond_;
};

TEST(ThreadStop, DeletingAThreadBlockedInACatchAllFrameStopsItWithoutCancelling) {
    const unsigned long cancellations = MT::Thread::cancellations();
    std::atomic<bool> clean_exit{false};
    MT::Event waiting;
    auto thread = std::make_unique<CondWaiter>(clean_exit, waiting);
    ASSERT_TRUE(thread->start());
    ASSERT_TRUE(waiting.wait_for(kPatience));
    thread.reset();
    EXPECT_TRUE(clean_exit);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

// Relies on ~Thread alone: no destructor of its own, waits only in wait_for_stop(), and touches
// nothing but base members and objects outside itself.
class BaseOnlyWaiter : public MT::Thread {
  public:
    BaseOnlyWaiter(std::atomic<bool>& clean_exit, MT::Event& waiting)
        : clean_exit_(clean_exit), waiting_(waiting) {}

  private:
    void run() override {
        auto& clean_exit = clean_exit_;  // the subclass's members are gone once ~Thread runs
        try {
            waiting_.set();
            while (!wait_for_stop(std::chrono::hours(1))) {
            }
        } catch (...) {
            return;
        }
        clean_exit = true;
    }

    std::atomic<bool>& clean_exit_;
    MT::Event& waiting_;
};

TEST(ThreadStop, BaseDestructorStopsAThreadWaitingForStop) {
    const unsigned long cancellations = MT::Thread::cancellations();
    std::atomic<bool> clean_exit{false};
    MT::Event waiting;
    auto thread = std::make_unique<BaseOnlyWaiter>(clean_exit, waiting);
    ASSERT_TRUE(thread->start());
    ASSERT_TRUE(waiting.wait_for(kPatience));
    thread.reset();
    EXPECT_TRUE(clean_exit);
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

TEST(ThreadStop, AThreadHoldingAMutexReleasesItWhenAskedToStop) {
    const unsigned long cancellations = MT::Thread::cancellations();
    MT::Mutex shared;
    MT::Event holding;
    auto thread = std::make_unique<FunctionThread>([&](FunctionThread& self) {
        MT::Lock lock(shared);
        holding.set();
        while (!self.wait_for_stop(std::chrono::hours(1))) {
        }
    });
    ASSERT_TRUE(thread->start());
    ASSERT_TRUE(holding.wait_for(kPatience));
    if (shared.try_lock()) {
        shared.unlock();
        ADD_FAILURE() << "the thread should hold the mutex";
    }
    thread.reset();
    if (shared.try_lock()) {
        shared.unlock();
    } else {
        ADD_FAILURE() << "the mutex was not released when the thread stopped";
    }
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

// Ignores stop requests, blocked in read() on a pipe nobody writes to.
class Deaf : public MT::Thread {
  public:
    Deaf(int fd, MT::Event& blocked) : fd_(fd), blocked_(blocked) {}
    ~Deaf() override { stop(); }

  private:
    void run() override {
        blocked_.set();
        char byte;
        for (;;) {
            if (::read(fd_, &byte, 1) != -1 || errno != EINTR) break;
        }
    }
    int fd_;
    MT::Event& blocked_;
};

TEST(ThreadStop, AThreadIgnoringTheRequestIsCancelledAfterTheGracePeriod) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    MT::Event blocked;
    {
        Deaf thread(fds[0], blocked);
        thread.set_stop_grace(20ms);
        ASSERT_TRUE(thread.start());
        ASSERT_TRUE(blocked.wait_for(kPatience));
        EXPECT_FALSE(thread.stop_and_join(20ms)) << "the request alone does not end it";
        EXPECT_TRUE(thread.is_running());
        const unsigned long cancellations = MT::Thread::cancellations();
        thread.stop();
        EXPECT_FALSE(thread.is_running());
        EXPECT_EQ(MT::Thread::cancellations(), cancellations + 1);
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(ThreadStop, RequestBeforeStartIsSeenByRun) {
    std::atomic<bool> saw_stop{false};
    FunctionThread thread([&](FunctionThread& self) { saw_stop = self.stop_requested(); });
    thread.request_stop();
    ASSERT_TRUE(thread.start());
    thread.join();
    EXPECT_TRUE(saw_stop);
}

TEST(ThreadStop, AnExceptionEscapingRunEndsOnlyThatThread) {
    FunctionThread thread([](FunctionThread&) { throw std::runtime_error("job failed"); });
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(thread.wait_finished(kPatience));
    EXPECT_FALSE(thread.is_running());
}

}  // namespace
