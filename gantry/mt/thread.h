// A POSIX thread owned by an object: derive, implement run(), call start(). Deleting the object
// stops and joins the thread.
//
// Stopping. A thread is stopped cooperatively: request_stop() sets a flag that run() polls through
// stop_requested(), wakes any wait_for_stop() in progress, and calls wake() so that a subclass can
// interrupt whatever else its thread blocks in (shut a socket down, signal its own condition,
// write to a pipe). stop_and_join(grace) does that and then waits up to grace for run() to return,
// joining the thread if it did. stop() adds the last resort: if run() is still going after the
// grace period the thread is cancelled with pthread_cancel and joined.
//
// Cancellation is a last resort only, because it is not safe in C++: glibc implements it as a
// forced unwind, so a `catch (...)` frame that does not rethrow aborts the whole process, an
// unwind through a noexcept frame terminates it, and code that is not unwound (a mutex locked
// without a guard, a C library holding its own lock) is left holding its locks for ever. Every
// thread in this library therefore ends by itself when asked; stop() counts the cancellations it
// still has to make (cancellations()) so that a daemon can report them.
//
// What a subclass must do so that it is never cancelled:
//  1. Check stop_requested() in its loop and return from run() soon after it becomes true. For
//     pauses, use wait_for_stop(timeout) rather than sleep: it returns early when asked to stop.
//  2. If run() blocks anywhere else (its own condition variable, a socket, a pipe), override
//     wake() to interrupt that wait. wake() runs on the stopping thread, may be called more than
//     once, possibly before run() started or after it returned, and must not block for long.
//  3. Call stop() (or stop_and_join()) at the start of its own destructor. By the time ~Thread
//     runs, the subclass's members have been destroyed and its vtable replaced by Thread's: a
//     still-running run() would be using dead members, and ~Thread can no longer reach the
//     subclass's wake(), so all it can do is raise the flag, wake wait_for_stop(), wait the
//     grace period and then cancel. In a deeper hierarchy, every class whose members the thread
//     uses calls stop() in its destructor; after the first call the others return at once.
//
// Do not call start() from a constructor of a class that has further subclasses: the new thread
// would call run() on an object that is still being built. The object must outlive its thread:
// run() must not destroy its own object.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"

namespace Gantry::MT {

class Thread {
  public:
    static constexpr std::chrono::milliseconds default_stop_grace{1000};

    Thread() = default;
    // Stops the thread as stop() does (with wake() no longer reaching the subclass; see above).
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates the pthread that calls run(). False if the thread was started before or creation
    // failed.
    bool start();

    // SCHED_RR at the given priority when realtime, SCHED_OTHER otherwise (whose only priority is
    // 0). False if the thread was never created, has been joined, or the call was refused (for
    // realtime, typically for lack of privilege).
    bool set_priority(int priority, bool realtime);

    // Set by start(), cleared by the thread itself when run() returns (or it is cancelled).
    bool is_running() const GANTRY_EXCLUDES(state_mutex_);
    // A pthread was created for this object.
    bool is_created() const GANTRY_EXCLUDES(state_mutex_);

    // Raises the stop flag and wakes the thread (see above). Never blocks on the thread.
    void request_stop() GANTRY_EXCLUDES(state_mutex_);
    bool stop_requested() const { return stop_flag_.load(std::memory_order_acquire); }

    // Asks the thread to stop and waits up to grace for run() to return; true once the thread
    // has ended and been joined (also true if it was never created). From the thread itself it
    // only raises the flag and returns false.
    bool stop_and_join(std::chrono::milliseconds grace) GANTRY_EXCLUDES(state_mutex_, join_mutex_);
    bool stop_and_join() { return stop_and_join(stop_grace()); }

    // stop_and_join(stop_grace()), then, if run() still has not returned, pthread_cancel and join.
    // On return the thread is gone. Subclasses call this first in their destructors.
    void stop() GANTRY_EXCLUDES(state_mutex_, join_mutex_);

    // Waits, without asking it to stop, for run() to return and joins the thread.
    void join() GANTRY_EXCLUDES(state_mutex_, join_mutex_);
    // Waits up to timeout for run() to return (without joining); true if it has.
    bool wait_finished(std::chrono::milliseconds timeout) GANTRY_EXCLUDES(state_mutex_);

    // Grace period of stop() and of the destructor (default_stop_grace unless set).
    void set_stop_grace(std::chrono::milliseconds grace) GANTRY_EXCLUDES(state_mutex_);
    std::chrono::milliseconds stop_grace() const GANTRY_EXCLUDES(state_mutex_);

    // Threads this process has had to cancel because they did not stop within their grace.
    static unsigned long cancellations();

  protected:
    // The thread body. It runs on the new thread; the object must outlive it. A std::exception
    // escaping run() ends the thread with a line on stderr; any other exception terminates the
    // process.
    virtual void run() = 0;

    // Interrupts a blocking wait of run() other than wait_for_stop(); see above.
    virtual void wake() {}

    // Blocks until a stop is requested or the timeout passes; returns stop_requested().
    bool wait_for_stop(std::chrono::nanoseconds timeout) GANTRY_EXCLUDES(state_mutex_);

    // For base classes that run their own loop instead of run() (PoolThread): creates the
    // pthread with body as its entry. The same once-only rule as start() applies.
    using Body = void (*)(Thread*);
    bool launch(Body body) GANTRY_EXCLUDES(state_mutex_);

  private:
    // Called by request_stop() before wake(); lets a base class (PoolThread) end its own idle wait
    // whatever the subclass does with wake().
    virtual void on_stop_request() {}

    static void* entry(void* self);
    static void call_run(Thread* self) { self->run(); }
    void mark_finished() GANTRY_EXCLUDES(state_mutex_);
    void join_once() GANTRY_EXCLUDES(state_mutex_, join_mutex_);
    bool is_self() const GANTRY_EXCLUDES(state_mutex_);

    mutable Mutex join_mutex_ GANTRY_ACQUIRED_BEFORE(state_mutex_);
    bool joined_ GANTRY_GUARDED_BY(join_mutex_) = false;

    mutable Mutex state_mutex_;
    // Broadcast when run() returns and when a stop is requested.
    Condition state_changed_;
    bool created_ GANTRY_GUARDED_BY(state_mutex_) = false;
    bool running_ GANTRY_GUARDED_BY(state_mutex_) = false;
    pthread_t handle_ GANTRY_GUARDED_BY(state_mutex_){};
    Body body_ GANTRY_GUARDED_BY(state_mutex_) = nullptr;
    std::chrono::milliseconds grace_ GANTRY_GUARDED_BY(state_mutex_) = default_stop_grace;
    // Written under state_mutex_ (so wait_for_stop() cannot miss it), read without it.
    std::atomic<bool> stop_flag_{false};
};

}  // namespace Gantry::MT
