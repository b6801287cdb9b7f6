// Threads, locks and worker pools (Gantry::MT).
#pragma once

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/mt/pool_thread.h"
#include "gantry/mt/read_write_lock.h"
#include "gantry/mt/thread.h"
#include "gantry/mt/thread_pool.h"
