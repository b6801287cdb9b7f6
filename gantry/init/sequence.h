// The ordered list of start-up actions.
#pragma once

#include <cstddef>
#include <vector>

#include "gantry/init/action.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Gantry::Init {

class Sequence {
  public:
    Sequence() = default;
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;

    // The process-wide sequence that AutoAction uses. Created on first use, so it exists whatever
    // the order of static construction, and never destroyed, so actions that outlive main() can
    // still take themselves out of it.
    static Sequence& instance();

    // Appends an action (not owned). Adding an action twice has no effect.
    void add(Action* action) GANTRY_EXCLUDES(mutex_);
    void remove(Action* action) GANTRY_EXCLUDES(mutex_);

    // Sorts the actions by rank, keeping registration order among equal ranks, and initialises
    // each one that has not run yet; no action ever runs twice, so a second call runs only
    // actions added since. The list is not locked while an action runs: an initialise() may add
    // actions (they run in the same call, in rank order among those still pending) or remove
    // them, but must not destroy one that is still pending without removing it.
    void run() GANTRY_EXCLUDES(mutex_);

    size_t size() const GANTRY_EXCLUDES(mutex_);
    // Actions added and not yet run.
    size_t pending() const GANTRY_EXCLUDES(mutex_);

  private:
    struct Entry {
        Action* action;
        bool done;
    };

    mutable MT::Mutex mutex_;
    std::vector<Entry> entries_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Gantry::Init
