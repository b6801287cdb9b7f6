#include "gantry/mt/thread.h"

#include <gtest/gtest.h>
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

// Runs a function as the thread body; on_wake stands in for a subclass's wake().
class FunctionThread : public MT::Thread {
  public:
    explicit FunctionThread(std::function<void(FunctionThread&)> body,
                            std::function<void()> on_wake = {})
        : body_(std::move(body)), on_wake_(std::move(on_wake)) {}
    ~FunctionThread() override { stop(); }
    using Thread::wait_for_stop;

  private:
    void run() override { body_(*this); }
    void wake() override {
        if (on_wake_) on_wake_();
    }
    std::function<void(FunctionThread&)> body_;
    std::function<void()> on_wake_;
};

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

TEST(Thread, RunsOnceAndReportsRunningUntilRunEndsEvenByAnException) {
    MT::Event release;
    std::atomic<int> runs{0};
    FunctionThread thread([&](FunctionThread&) {
        ++runs;
        release.wait_for(kPatience);
        throw std::runtime_error("job failed");  // ends this thread only
    });
    EXPECT_FALSE(thread.set_priority(0, false)) << "never created";
    ASSERT_TRUE(thread.start());
    EXPECT_TRUE(thread.is_running());
    EXPECT_TRUE(thread.set_priority(0, false));
    EXPECT_FALSE(thread.start()) << "a thread object starts only once";
    release.set();
    ASSERT_TRUE(thread.wait_finished(kPatience));
    EXPECT_FALSE(thread.is_running());
    thread.join();
    thread.join();  // joining again is harmless
    EXPECT_FALSE(thread.set_priority(0, false)) << "a joined thread has no handle";
    EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, DestroyingAFinishedOrNeverStartedThreadDoesNotCancel) {
    const unsigned long cancellations = MT::Thread::cancellations();
    std::atomic<bool> saw_stop{false};
    auto finished = std::make_unique<FunctionThread>(
        [&](FunctionThread& self) { saw_stop = self.stop_requested(); });
    finished->request_stop();  // before start: run() must still see it
    ASSERT_TRUE(finished->start());
    ASSERT_TRUE(finished->wait_finished(kPatience));
    finished.reset();
    EXPECT_TRUE(saw_stop);
    auto never_started = std::make_unique<FunctionThread>([](FunctionThread&) {});
    EXPECT_TRUE(never_started->stop_and_join(0ms));
    never_started.reset();
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

// Deleting a running thread used to cancel it outright. The bodies below wait inside a catch-all
// frame: had they been cancelled, glibc's forced unwind would be swallowed and the process
// aborted. Each must end by itself, cleanly, with no cancellation counted.

TEST(ThreadStopMend, DeletingAThreadBlockedOnItsOwnConditionStopsItThroughWake) {
    const unsigned long cancellations = MT::Thread::cancellations();
    MT::Mutex mutex;
    MT::Condition cond;
    MT::Event waiting;
    std::atomic<bool> clean_exit{false};
    auto thread = std::make_unique<FunctionThread>(
        [&](FunctionThread& self) {
            try {
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

TEST(ThreadStopMend, BaseDestructorStopsAThreadWaitingForStop) {
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

TEST(ThreadStopMend, AThreadHoldingAMutexWaitsForStopAndReleasesItWhenAsked) {
    const unsigned long cancellations = MT::Thread::cancellations();
    MT::Mutex shared;
    auto is_free = [&] {
        if (!shared.try_lock()) return false;
        shared.unlock();
        return true;
    };
    MT::Event holding;
    std::atomic<bool> early_wait{true};
    auto thread = std::make_unique<FunctionThread>([&](FunctionThread& self) {
        MT::Lock lock(shared);
        early_wait = self.wait_for_stop(1ms);  // no request yet: times out
        holding.set();
        while (!self.wait_for_stop(std::chrono::hours(1))) {
        }
    });
    ASSERT_TRUE(thread->start());
    ASSERT_TRUE(holding.wait_for(kPatience));
    EXPECT_FALSE(early_wait);
    EXPECT_FALSE(is_free());
    thread.reset();
    EXPECT_TRUE(is_free()) << "the mutex was not released when the thread stopped";
    EXPECT_EQ(MT::Thread::cancellations(), cancellations);
}

// Ignores stop requests, blocked in read() on a pipe nobody writes to: cancellation remains the
// last resort once the grace period has passed.
class Deaf : public MT::Thread {
  public:
    Deaf(int fd, MT::Event& blocked) : fd_(fd), blocked_(blocked) {}
    ~Deaf() override { stop(); }

  private:
    void run() override {
        blocked_.set();
        char byte;
        while (::read(fd_, &byte, 1) == -1 && errno == EINTR) {
        }
    }
    int fd_;
    MT::Event& blocked_;
};

TEST(ThreadStopMend, AThreadIgnoringTheRequestIsCancelledAfterTheGracePeriod) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    MT::Event blocked;
    {
        Deaf thread(fds[0], blocked);
        thread.set_stop_grace(20ms);
        ASSERT_TRUE(thread.start());
        ASSERT_TRUE(blocked.wait_for(kPatience));
        EXPECT_FALSE(thread.stop_and_join(20ms)) << "the request alone does not end it";
        const unsigned long cancellations = MT::Thread::cancellations();
        thread.stop();
        EXPECT_FALSE(thread.is_running());
        EXPECT_EQ(MT::Thread::cancellations(), cancellations + 1);
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
