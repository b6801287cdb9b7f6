// The session fields of a capture in external mode: whether it is capturing, to which path, and
// whether the file is appended to with which base PCR. Request handlers and the service tick
// change them; the capture thread reads them for every datagram.
//
// Thread safety: every operation may be called from any thread. The capture thread's read is a
// single atomic load while nothing changes; it takes the lock only after a change.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Corvid::Capture {

struct SessionFields {
    bool capturing = false;
    bool append = false;
    double base_pcr = -1.0;
    std::string path;  // empty: a generated name
};

class Session {
  public:
    // Starts a session unless one is running; false if one is.
    bool start(std::string path, bool append, double base_pcr) GANTRY_EXCLUDES(mutex_);
    // Ends the session; false if none is running.
    bool stop() GANTRY_EXCLUDES(mutex_);
    SessionFields fields() const GANTRY_EXCLUDES(mutex_);

    // Refreshes copy when the fields changed since it was last refreshed.
    void refresh(SessionFields& copy, uint64_t& seen) const GANTRY_EXCLUDES(mutex_) {
        if (generation_.load(std::memory_order_acquire) == seen) return;
        Gantry::MT::Lock lock(mutex_);
        copy = fields_;
        seen = generation_.load(std::memory_order_relaxed);
    }

  private:
    mutable Gantry::MT::Mutex mutex_;
    SessionFields fields_ GANTRY_GUARDED_BY(mutex_);
    // Raised under the lock after every change.
    std::atomic<uint64_t> generation_{1};
};

inline bool Session::start(std::string path, bool append, double base_pcr) {
    Gantry::MT::Lock lock(mutex_);
    if (fields_.capturing) return false;
    fields_ = SessionFields{true, append, base_pcr, std::move(path)};
    generation_.fetch_add(1, std::memory_order_release);
    return true;
}

inline bool Session::stop() {
    Gantry::MT::Lock lock(mutex_);
    if (!fields_.capturing) return false;
    fields_.capturing = false;
    fields_.path.clear();
    generation_.fetch_add(1, std::memory_order_release);
    return true;
}

inline SessionFields Session::fields() const {
    Gantry::MT::Lock lock(mutex_);
    return fields_;
}

}  // namespace Corvid::Capture
