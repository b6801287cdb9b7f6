#include "gantry/mt/condition.h"

#include <time.h>

namespace Gantry::MT {

Condition::Condition() {
    pthread_condattr_t attributes;
    ::pthread_condattr_init(&attributes);
    // steady_clock is CLOCK_MONOTONIC on Linux, so deadlines convert without an offset.
    ::pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    ::pthread_cond_init(&cond_, &attributes);
    ::pthread_condattr_destroy(&attributes);
}

Condition::~Condition() {
    ::pthread_cond_destroy(&cond_);
}

void Condition::wait(Mutex& mutex) {
    ::pthread_cond_wait(&cond_, mutex.native());
}

Condition::Clock::time_point Condition::deadline_after(Clock::duration timeout) {
    const auto now = Clock::now();
    if (timeout <= Clock::duration::zero()) return now;
    if (timeout > Clock::time_point::max() - now) return Clock::time_point::max();
    return now + timeout;
}

bool Condition::wait_until(Mutex& mutex, Clock::time_point deadline) {
    const auto since_epoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    if (seconds.count() < 0) return false;
    timespec when;
    when.tv_sec = static_cast<time_t>(seconds.count());
    when.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds).count());
    return ::pthread_cond_timedwait(&cond_, mutex.native(), &when) == 0;
}

void Condition::signal() {
    ::pthread_cond_signal(&cond_);
}

void Condition::broadcast() {
    ::pthread_cond_broadcast(&cond_);
}

void Event::set() {
    Lock lock(mutex_);
    set_ = true;
    changed_.broadcast();
}

void Event::reset() {
    Lock lock(mutex_);
    set_ = false;
}

bool Event::is_set() const {
    Lock lock(mutex_);
    return set_;
}

void Event::wait() {
    Lock lock(mutex_);
    while (!set_)
        changed_.wait(mutex_);
}

bool Event::wait_for(Condition::Clock::duration timeout) {
    const auto deadline = Condition::deadline_after(timeout);
    Lock lock(mutex_);
    while (!set_) {
        if (!changed_.wait_until(mutex_, deadline)) return set_;
    }
    return true;
}

}  // namespace Gantry::MT
