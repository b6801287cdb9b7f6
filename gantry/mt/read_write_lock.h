// Reader/writer lock for registries and caches: many readers share it, one writer excludes
// everyone else.
//
// - The writer is re-entrant: the thread holding the write lock may take it again (each
//   write_lock() needs its own write_unlock()) and may take the read lock, which then costs
//   nothing (lookups inside an update).
// - A reader is admitted at once while other readers hold the lock, even if a writer is waiting.
//   That keeps nested read locks of one thread from deadlocking behind a waiting writer, at the
//   price that a continuous stream of overlapping readers can delay a writer indefinitely. When no
//   reader holds the lock, a new reader waits while a writer is waiting or active.
// - A writer waits for the current readers to finish, then for any active writer.
// - A reader cannot upgrade: taking the write lock while holding only the read lock deadlocks.
#pragma once

#include <pthread.h>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"

namespace Gantry::MT {

class GANTRY_CAPABILITY("mutex") ReadWriteLock {
  public:
    ReadWriteLock() = default;
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void read_lock() GANTRY_ACQUIRE_SHARED() GANTRY_EXCLUDES(mutex_);
    void read_unlock() GANTRY_RELEASE_SHARED() GANTRY_EXCLUDES(mutex_);
    void write_lock() GANTRY_ACQUIRE() GANTRY_EXCLUDES(mutex_);
    void write_unlock() GANTRY_RELEASE() GANTRY_EXCLUDES(mutex_);

    // Snapshots for diagnostics and tests; stale as soon as they return.
    unsigned readers() const GANTRY_EXCLUDES(mutex_);
    unsigned writers_waiting() const GANTRY_EXCLUDES(mutex_);
    bool writer_active() const GANTRY_EXCLUDES(mutex_);
    // True if the calling thread holds the write lock.
    bool held_for_writing() const GANTRY_EXCLUDES(mutex_);

  private:
    bool owned_by_caller() const GANTRY_REQUIRES(mutex_);

    mutable Mutex mutex_;
    unsigned readers_ GANTRY_GUARDED_BY(mutex_) = 0;
    // Broadcast (not signalled) when readers_ drops to 0: several writers may be waiting on it,
    // and a single wake-up could leave the others asleep behind readers that never come back.
    Condition readers_done_;
    unsigned writers_waiting_ GANTRY_GUARDED_BY(mutex_) = 0;
    bool writer_active_ GANTRY_GUARDED_BY(mutex_) = false;
    Condition writer_done_;
    unsigned writer_count_ GANTRY_GUARDED_BY(mutex_) = 0;
    pthread_t owner_ GANTRY_GUARDED_BY(mutex_){};
};

class GANTRY_SCOPED_CAPABILITY ReadGuard {
  public:
    explicit ReadGuard(ReadWriteLock& lock) GANTRY_ACQUIRE_SHARED(lock) : lock_(lock) {
        lock_.read_lock();
    }
    ~ReadGuard() GANTRY_RELEASE() { lock_.read_unlock(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

  private:
    ReadWriteLock& lock_;
};

class GANTRY_SCOPED_CAPABILITY WriteGuard {
  public:
    explicit WriteGuard(ReadWriteLock& lock) GANTRY_ACQUIRE(lock) : lock_(lock) {
        lock_.write_lock();
    }
    ~WriteGuard() GANTRY_RELEASE() { lock_.write_unlock(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

  private:
    ReadWriteLock& lock_;
};

}  // namespace Gantry::MT
