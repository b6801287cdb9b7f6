// A pool of reusable worker threads of type W (derived from MT::PoolThread), as the TCP server
// uses for its connections: take() a worker, fill in its job, kick() it; when the job is done the
// worker returns itself to the spare list.
//
// The pool owns every worker, spare or busy. Workers are stopped without cancellation as long as
// their jobs honour MT::Thread's stop protocol; see pool_thread.h.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/mt/pool_thread.h"

namespace Gantry::MT {

template <class W>
class ThreadPool;

// Hands a finished worker back to its pool.
template <class W>
class PoolReplacer : public IPoolReplacer {
  public:
    explicit PoolReplacer(ThreadPool<W>& pool) : pool_(pool) {}
    void replace(PoolThread* thread) override { pool_.replace(static_cast<W*>(thread)); }

  private:
    ThreadPool<W>& pool_;
};

template <class W>
class ThreadPool {
    static_assert(std::is_base_of_v<PoolThread, W>, "pool workers derive from MT::PoolThread");

  public:
    // Makes a new idle worker; the default is new W(&replacer). The worker must pass the replacer
    // on to PoolThread's constructor.
    using Factory = std::function<W*(IPoolReplacer* replacer)>;

    // minimum_spare: idle workers kept ready (0 behaves as 1). maximum: bound on spare plus busy
    // workers (0: unbounded). realtime: new workers get SCHED_RR priority 10, where the process
    // is allowed to (otherwise they keep the default policy).
    explicit ThreadPool(unsigned minimum_spare = 1, unsigned maximum = 10, bool realtime = false,
                        Factory factory = {})
        : minimum_spare_(std::max(minimum_spare, 1u)),
          maximum_(maximum),
          realtime_(realtime),
          factory_(factory ? std::move(factory)
                           : Factory([](IPoolReplacer* replacer) { return new W(replacer); })),
          replacer_(*this) {}

    ~ThreadPool() { shutdown(); }
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Tops the spare list up to the minimum (within the maximum), then moves the first spare
    // worker to the busy list and returns it. At the maximum it blocks until a worker comes back.
    // Null once the pool is shut down, or if no worker can be created and none is busy.
    W* take() GANTRY_EXCLUDES(mutex_) { return take_until(Condition::Clock::time_point::max()); }
    // As take(), but null if no worker became free within timeout.
    W* take_for(std::chrono::milliseconds timeout) GANTRY_EXCLUDES(mutex_) {
        return take_until(Condition::deadline_after(timeout));
    }

    // Returns a taken worker that was never kicked to the spare list.
    void give_back(W* worker) GANTRY_EXCLUDES(mutex_) { replace(worker); }

    // Stops and deletes spare workers beyond the minimum, oldest first.
    void trim() GANTRY_EXCLUDES(mutex_) {
        std::vector<std::unique_ptr<W>> surplus;
        std::chrono::milliseconds grace;
        {
            Lock lock(mutex_);
            grace = stop_grace_;
            while (spare_.size() > minimum_spare_) {
                surplus.push_back(std::move(spare_.front()));
                spare_.pop_front();
            }
        }
        stop_all(surplus, grace);
    }

    // Once only: stops every worker, spare and busy, and deletes it; later take() calls return
    // null. Busy jobs are asked to stop (stop flag and wake()) and waited for for the grace
    // period. A concurrent second call waits for the first to finish.
    void shutdown() GANTRY_EXCLUDES(mutex_, shutdown_mutex_) {
        Lock shutdown_lock(shutdown_mutex_);
        std::vector<std::unique_ptr<W>> workers;
        std::chrono::milliseconds grace;
        {
            Lock lock(mutex_);
            if (shut_down_) return;
            grace = stop_grace_;
            shut_down_ = true;
            for (auto& worker : spare_)
                workers.push_back(std::move(worker));
            for (auto& worker : busy_)
                workers.push_back(std::move(worker));
            spare_.clear();
            busy_.clear();
            changed_.broadcast();  // releases blocked take() calls
        }
        stop_all(workers, grace);
    }

    // Waits up to timeout until no worker is busy; true if none is.
    bool wait_idle(std::chrono::milliseconds timeout) GANTRY_EXCLUDES(mutex_) {
        const auto deadline = Condition::deadline_after(timeout);
        Lock lock(mutex_);
        while (!busy_.empty()) {
            if (!changed_.wait_until(mutex_, deadline)) break;
        }
        return busy_.empty();
    }

    size_t spare_count() const GANTRY_EXCLUDES(mutex_) {
        Lock lock(mutex_);
        return spare_.size();
    }
    size_t busy_count() const GANTRY_EXCLUDES(mutex_) {
        Lock lock(mutex_);
        return busy_.size();
    }
    bool is_shut_down() const GANTRY_EXCLUDES(mutex_) {
        Lock lock(mutex_);
        return shut_down_;
    }
    unsigned minimum_spare() const { return minimum_spare_; }
    unsigned maximum() const { return maximum_; }
    bool realtime() const { return realtime_; }

    // Grace period given to each worker's job when trim() or shutdown() stops it (default
    // Thread's).
    void set_stop_grace(std::chrono::milliseconds grace) GANTRY_EXCLUDES(mutex_) {
        Lock lock(mutex_);
        stop_grace_ = grace;
    }

  private:
    friend class PoolReplacer<W>;
    using WorkerList = std::list<std::unique_ptr<W>>;

    W* take_until(Condition::Clock::time_point deadline) GANTRY_EXCLUDES(mutex_) {
        Lock lock(mutex_);
        for (;;) {
            if (shut_down_) return nullptr;
            bool creation_failed = false;
            while (spare_.size() < minimum_spare_ &&
                   (maximum_ == 0 || spare_.size() + busy_.size() < maximum_)) {
                std::unique_ptr<W> worker(factory_(&replacer_));
                if (!worker || !worker->is_created()) {
                    creation_failed = true;
                    break;
                }
                if (realtime_) worker->set_priority(10, true);
                spare_.push_back(std::move(worker));
            }
            if (!spare_.empty()) {
                busy_.splice(busy_.end(), spare_, spare_.begin());
                return busy_.back().get();
            }
            // Nothing will come back if nothing is busy; retrying creation is all that is left.
            if (creation_failed && busy_.empty()) return nullptr;
            // Woken by replace() and shutdown(); the short bound retries a failed creation.
            auto wake_at = deadline;
            if (creation_failed) {
                wake_at = std::min(deadline, Condition::deadline_after(retry_interval));
            }
            if (!changed_.wait_until(mutex_, wake_at) && Condition::Clock::now() >= deadline) {
                return nullptr;
            }
        }
    }

    void replace(W* worker) GANTRY_EXCLUDES(mutex_) {
        Lock lock(mutex_);
        if (shut_down_) return;  // shutdown() owns it now and is stopping it
        auto found = std::find_if(busy_.begin(), busy_.end(),
                                  [worker](const auto& busy) { return busy.get() == worker; });
        if (found == busy_.end()) return;
        spare_.splice(spare_.end(), busy_, found);
        changed_.broadcast();
    }

    // Asks every worker to stop first so that they wind down in parallel, then joins each (the
    // last resort of cancellation only for jobs that ignore the request) and deletes it.
    static void stop_all(std::vector<std::unique_ptr<W>>& workers,
                         std::chrono::milliseconds grace) {
        for (auto& worker : workers) {
            worker->set_stop_grace(grace);
            worker->kill(false);
        }
        for (auto& worker : workers)
            worker->kill(true);
        workers.clear();
    }

    static constexpr std::chrono::milliseconds retry_interval{10};

    const unsigned minimum_spare_;
    const unsigned maximum_;
    const bool realtime_;
    const Factory factory_;
    PoolReplacer<W> replacer_;

    Mutex shutdown_mutex_ GANTRY_ACQUIRED_BEFORE(mutex_);
    mutable Mutex mutex_;
    // Broadcast when a worker comes back, and on shutdown.
    Condition changed_;
    WorkerList spare_ GANTRY_GUARDED_BY(mutex_);
    WorkerList busy_ GANTRY_GUARDED_BY(mutex_);
    bool shut_down_ GANTRY_GUARDED_BY(mutex_) = false;
    std::chrono::milliseconds stop_grace_ GANTRY_GUARDED_BY(mutex_) = Thread::default_stop_grace;
};

}  // namespace Gantry::MT
