#include "gantry/mt/thread.h"

#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <exception>

namespace Gantry::MT {

namespace {

std::atomic<unsigned long> cancel_count{0};

}  // namespace

Thread::~Thread() {
    stop();
}

bool Thread::start() {
    return launch(&Thread::call_run);
}

bool Thread::launch(Body body) {
    Lock lock(state_mutex_);
    if (created_) return false;
    body_ = body;
    // Marked running before the thread exists so that it cannot clear the flag before it is set.
    running_ = true;
    if (::pthread_create(&handle_, nullptr, &Thread::entry, this) != 0) {
        running_ = false;
        return false;
    }
    created_ = true;
    return true;
}

void* Thread::entry(void* self) {
    auto* thread = static_cast<Thread*>(self);
    // Clears running on every way out, including the forced unwind of a cancellation.
    struct End {
        Thread* thread;
        ~End() { thread->mark_finished(); }
    } end{thread};
    Body body;
    {
        Lock lock(thread->state_mutex_);
        body = thread->body_;
    }
    // Only std::exception is caught: a catch-all here would also catch the forced unwind of a
    // cancellation. Anything else escaping run() terminates the process, as with std::thread.
    try {
        body(thread);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "thread ended by exception: %s\n", error.what());
    }
    return nullptr;
}

void Thread::mark_finished() {
    Lock lock(state_mutex_);
    running_ = false;
    state_changed_.broadcast();
}

bool Thread::set_priority(int priority, bool realtime) {
    Lock join_lock(join_mutex_);
    if (joined_) return false;
    pthread_t handle;
    {
        Lock lock(state_mutex_);
        if (!created_) return false;
        handle = handle_;
    }
    sched_param param{};
    param.sched_priority = priority;
    return ::pthread_setschedparam(handle, realtime ? SCHED_RR : SCHED_OTHER, &param) == 0;
}

bool Thread::is_running() const {
    Lock lock(state_mutex_);
    return running_;
}

bool Thread::is_created() const {
    Lock lock(state_mutex_);
    return created_;
}

void Thread::request_stop() {
    {
        Lock lock(state_mutex_);
        stop_flag_.store(true, std::memory_order_release);
        state_changed_.broadcast();
    }
    on_stop_request();
    wake();
}

bool Thread::wait_for_stop(std::chrono::nanoseconds timeout) {
    const auto deadline = Condition::deadline_after(timeout);
    Lock lock(state_mutex_);
    while (!stop_flag_.load(std::memory_order_acquire)) {
        if (!state_changed_.wait_until(state_mutex_, deadline)) break;
    }
    return stop_flag_.load(std::memory_order_acquire);
}

bool Thread::is_self() const {
    Lock lock(state_mutex_);
    return created_ && ::pthread_equal(handle_, ::pthread_self());
}

bool Thread::wait_finished(std::chrono::milliseconds timeout) {
    const auto deadline = Condition::deadline_after(timeout);
    Lock lock(state_mutex_);
    while (running_) {
        if (!state_changed_.wait_until(state_mutex_, deadline)) break;
    }
    return !running_;
}

bool Thread::stop_and_join(std::chrono::milliseconds grace) {
    request_stop();
    if (!is_created()) return true;
    if (is_self()) return false;
    if (!wait_finished(grace)) return false;
    join_once();
    return true;
}

void Thread::stop() {
    if (stop_and_join(stop_grace())) return;
    if (is_self()) {
        // A thread deleting its own object cannot wait for itself; let it end on its own.
        Lock join_lock(join_mutex_);
        if (!joined_) {
            Lock lock(state_mutex_);
            ::pthread_detach(handle_);
            joined_ = true;
        }
        return;
    }
    {
        Lock join_lock(join_mutex_);
        Lock lock(state_mutex_);
        if (!joined_ && running_) {
            ::pthread_cancel(handle_);
            cancel_count.fetch_add(1, std::memory_order_relaxed);
        }
    }
    join_once();
}

void Thread::join() {
    if (!is_created() || is_self()) return;
    {
        Lock lock(state_mutex_);
        while (running_)
            state_changed_.wait(state_mutex_);
    }
    join_once();
}

void Thread::join_once() {
    Lock join_lock(join_mutex_);
    if (joined_) return;
    pthread_t handle;
    {
        Lock lock(state_mutex_);
        if (!created_) return;
        handle = handle_;
    }
    ::pthread_join(handle, nullptr);
    joined_ = true;
}

void Thread::set_stop_grace(std::chrono::milliseconds grace) {
    Lock lock(state_mutex_);
    grace_ = grace;
}

std::chrono::milliseconds Thread::stop_grace() const {
    Lock lock(state_mutex_);
    return grace_;
}

unsigned long Thread::cancellations() {
    return cancel_count.load(std::memory_order_relaxed);
}

}  // namespace Gantry::MT
