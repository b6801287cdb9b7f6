// A pthread condition variable that waits on an MT::Mutex, and a one-shot event built on it.
// Timed waits use the monotonic clock, so a change of the wall clock neither shortens nor
// stretches them.
#pragma once

#include <pthread.h>

#include <chrono>

#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Gantry::MT {

class Condition {
  public:
    using Clock = std::chrono::steady_clock;

    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // The caller holds mutex; it is released while waiting and held again on return. Spurious
    // wake-ups happen: always wait in a loop on the predicate.
    void wait(Mutex& mutex) GANTRY_REQUIRES(mutex);
    // False if the deadline passed (the predicate may still have become true meanwhile).
    bool wait_until(Mutex& mutex, Clock::time_point deadline) GANTRY_REQUIRES(mutex);
    bool wait_for(Mutex& mutex, Clock::duration timeout) GANTRY_REQUIRES(mutex) {
        return wait_until(mutex, deadline_after(timeout));
    }

    // Now plus timeout, saturating instead of overflowing for huge timeouts.
    static Clock::time_point deadline_after(Clock::duration timeout);

    void signal();
    void broadcast();

  private:
    pthread_cond_t cond_;
};

// Manual-reset event: once set, every current and future wait returns at once until reset.
class Event {
  public:
    void set() GANTRY_EXCLUDES(mutex_);
    void reset() GANTRY_EXCLUDES(mutex_);
    bool is_set() const GANTRY_EXCLUDES(mutex_);
    void wait() GANTRY_EXCLUDES(mutex_);
    // True if the event is set, false if the timeout passed first.
    bool wait_for(Condition::Clock::duration timeout) GANTRY_EXCLUDES(mutex_);

  private:
    mutable Mutex mutex_;
    Condition changed_;
    bool set_ GANTRY_GUARDED_BY(mutex_) = false;
};

}  // namespace Gantry::MT
