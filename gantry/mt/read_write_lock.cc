#include "gantry/mt/read_write_lock.h"

namespace Gantry::MT {

bool ReadWriteLock::owned_by_caller() const {
    return writer_active_ && ::pthread_equal(owner_, ::pthread_self());
}

void ReadWriteLock::read_lock() {
    Lock lock(mutex_);
    if (owned_by_caller()) return;  // the write lock already excludes everyone else
    if (readers_ == 0) {
        while (writers_waiting_ > 0 || writer_active_)
            writer_done_.wait(mutex_);
    }
    ++readers_;
}

void ReadWriteLock::read_unlock() {
    Lock lock(mutex_);
    if (owned_by_caller()) return;
    if (readers_ == 0) return;  // unbalanced unlock: ignore rather than wrap around
    if (--readers_ == 0) readers_done_.broadcast();
}

void ReadWriteLock::write_lock() {
    Lock lock(mutex_);
    if (owned_by_caller()) {
        ++writer_count_;
        return;
    }
    ++writers_waiting_;
    while (readers_ > 0)
        readers_done_.wait(mutex_);
    while (writer_active_)
        writer_done_.wait(mutex_);
    owner_ = ::pthread_self();
    --writers_waiting_;
    writer_active_ = true;
    writer_count_ = 1;
}

void ReadWriteLock::write_unlock() {
    Lock lock(mutex_);
    if (!owned_by_caller()) return;  // not ours to release
    if (--writer_count_ == 0) {
        writer_active_ = false;
        writer_done_.broadcast();
    }
}

unsigned ReadWriteLock::readers() const {
    Lock lock(mutex_);
    return readers_;
}

unsigned ReadWriteLock::writers_waiting() const {
    Lock lock(mutex_);
    return writers_waiting_;
}

bool ReadWriteLock::writer_active() const {
    Lock lock(mutex_);
    return writer_active_;
}

bool ReadWriteLock::held_for_writing() const {
    Lock lock(mutex_);
    return owned_by_caller();
}

}  // namespace Gantry::MT
