// An unbounded blocking queue of Tube messages: any number of threads push and pop. Once closed,
// a pop that finds it empty returns a marker at once, so no waiter can miss the end.
#pragma once

#include <deque>
#include <utility>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/tube/frame.h"

namespace Gantry::Tube {

class Queue {
  public:
    void push(Message message) GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        messages_.push_back(std::move(message));
        changed_.signal();
    }

    void close() GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        closed_ = true;
        changed_.broadcast();
    }

    // Waits for the next message.
    Message pop() GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        while (messages_.empty() && !closed_)
            changed_.wait(mutex_);
        if (messages_.empty()) return {};
        Message message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }

    bool empty() const GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        return messages_.empty();
    }

  private:
    mutable MT::Mutex mutex_;
    MT::Condition changed_;
    std::deque<Message> messages_ GANTRY_GUARDED_BY(mutex_);
    bool closed_ GANTRY_GUARDED_BY(mutex_) = false;
};

}  // namespace Gantry::Tube
