// A reusable worker thread for MT::ThreadPool. The pthread is created by the constructor and idles
// until kicked; each kick runs run() (the job) once, after which the worker hands itself back to
// its pool through the replacer and idles again.
//
// A subclass holds the job's fields; whoever took the worker from the pool fills them in and
// calls kick(). The kick is made under the worker's mutex, so everything written before it is
// visible to run().
//
// Stopping follows MT::Thread: kill() (and request_stop(), stop(), the destructor) sets dying and
// kicks, which ends the idle wait at once, and raises the stop flag and calls wake() so that a
// job in progress can end early. A job that blocks must therefore check stop_requested() or have
// its subclass override wake(); one that does neither is waited for for the grace period and then
// cancelled. A subclass whose job uses its own members calls kill(true) first in its destructor
// (ThreadPool stops its workers itself before deleting them).
#pragma once

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/mt/thread.h"

namespace Gantry::MT {

class PoolThread;

// How a worker that finished its job hands itself back to its pool.
class IPoolReplacer {
  public:
    virtual void replace(PoolThread* thread) = 0;
    virtual ~IPoolReplacer() = default;
};

class PoolThread : public Thread {
  public:
    // Starts the idle thread; check is_created() for failure. The replacer is not owned and may
    // be null (the worker then just idles again after each job).
    explicit PoolThread(IPoolReplacer* replacer);
    ~PoolThread() override;

    // Runs the job once. A kick while the job runs, or before the worker has picked up the last
    // one, is not counted twice.
    void kick() GANTRY_EXCLUDES(kick_mutex_);

    // Sets dying, kicks, and asks a running job to stop; with wait, also stop()s the thread
    // (joined on return, cancelled only if the job ignored the request for the grace period).
    virtual void kill(bool wait);

    bool is_dying() const GANTRY_EXCLUDES(kick_mutex_);

  protected:
    // The job (declared again for clarity: it is Thread's run()).
    void run() override = 0;

  private:
    static void loop(Thread* self);
    void idle_loop() GANTRY_EXCLUDES(kick_mutex_);
    void on_stop_request() final GANTRY_EXCLUDES(kick_mutex_);

    IPoolReplacer* const replacer_;
    mutable Mutex kick_mutex_;
    Condition kicked_changed_;
    bool kicked_ GANTRY_GUARDED_BY(kick_mutex_) = false;
    bool dying_ GANTRY_GUARDED_BY(kick_mutex_) = false;
};

}  // namespace Gantry::MT
