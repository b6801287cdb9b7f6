#include "gantry/mt/pool_thread.h"

namespace Gantry::MT {

PoolThread::PoolThread(IPoolReplacer* replacer) : replacer_(replacer) {
    // The loop calls no virtual function until the first kick, which comes after the subclass
    // has been fully constructed.
    launch(&PoolThread::loop);
}

PoolThread::~PoolThread() {
    kill(true);
}

void PoolThread::loop(Thread* self) {
    static_cast<PoolThread*>(self)->idle_loop();
}

void PoolThread::idle_loop() {
    for (;;) {
        {
            Lock lock(kick_mutex_);
            while (!kicked_ && !dying_)
                kicked_changed_.wait(kick_mutex_);
            if (dying_) return;
        }
        run();
        {
            // Clearing the kick and testing dying in one step: a kill that lands while the job
            // runs is never lost (it would be if the kick were cleared after it).
            Lock lock(kick_mutex_);
            kicked_ = false;
            if (dying_) return;
        }
        if (replacer_ != nullptr) replacer_->replace(this);
    }
}

void PoolThread::kick() {
    Lock lock(kick_mutex_);
    if (!kicked_) {
        kicked_ = true;
        kicked_changed_.signal();
    }
}

void PoolThread::on_stop_request() {
    Lock lock(kick_mutex_);
    dying_ = true;
    kicked_changed_.signal();
}

void PoolThread::kill(bool wait) {
    request_stop();  // sets dying through on_stop_request(), then wake()
    if (wait) stop();
}

bool PoolThread::is_dying() const {
    Lock lock(kick_mutex_);
    return dying_;
}

}  // namespace Gantry::MT
