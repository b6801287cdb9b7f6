// A plain (non-recursive) pthread mutex and its scoped guard.
#pragma once

#include <pthread.h>

#include "gantry/mt/annotations.h"

namespace Gantry::MT {

class GANTRY_CAPABILITY("mutex") Mutex {
  public:
    Mutex() { ::pthread_mutex_init(&mutex_, nullptr); }
    ~Mutex() { ::pthread_mutex_destroy(&mutex_); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() GANTRY_ACQUIRE() { ::pthread_mutex_lock(&mutex_); }
    void unlock() GANTRY_RELEASE() { ::pthread_mutex_unlock(&mutex_); }
    bool try_lock() GANTRY_TRY_ACQUIRE(true) { return ::pthread_mutex_trylock(&mutex_) == 0; }

    // For condition variables waiting on this mutex.
    pthread_mutex_t* native() { return &mutex_; }

  private:
    pthread_mutex_t mutex_;
};

class GANTRY_SCOPED_CAPABILITY Lock {
  public:
    explicit Lock(Mutex& mutex) GANTRY_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Lock() GANTRY_RELEASE() { mutex_.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    Mutex& mutex_;
};

}  // namespace Gantry::MT
