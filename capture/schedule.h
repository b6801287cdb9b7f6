// The start and stop events of a capture in external mode, in the order they are due.
//
// Order: earlier time first; at the same time a stop comes before a start, so that back-to-back
// sessions hand over cleanly. Events that this order cannot tell apart (same time, and not a
// stop/start pair) are equivalent, and the schedule keeps the first one added.
//
// Thread safety: every operation locks, since request handlers, the service tick and the
// capture's construction may use one schedule at the same time.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

struct ScheduleEvent {
    enum Action { NONE = 0, START = 1, STOP = 2 };

    Gantry::Time::Stamp time;
    Action action = NONE;
    std::string path;  // start events: the output path, empty for a generated name

    // "start", "stop" or "none", and back (anything else is none).
    static std::string_view action_name(Action action);
    static Action action_of(std::string_view name);
};

// Whether a comes before b. Not a strict weak order (a none event is equivalent to both a stop
// and a start that are not equivalent to each other), hence a vector kept in order rather than
// a std::set.
bool comes_before(const ScheduleEvent& a, const ScheduleEvent& b);

class Schedule {
  public:
    // False when an equivalent event is already there (the schedule is then unchanged).
    bool add(ScheduleEvent event) GANTRY_EXCLUDES(mutex_);
    // The first event, removed, if it is due at now.
    std::optional<ScheduleEvent> take_due(Gantry::Time::Stamp now) GANTRY_EXCLUDES(mutex_);
    // Removes the first event if it has that action.
    void drop_first_if(ScheduleEvent::Action action) GANTRY_EXCLUDES(mutex_);
    std::vector<ScheduleEvent> events() const GANTRY_EXCLUDES(mutex_);

  private:
    mutable Gantry::MT::Mutex mutex_;
    std::vector<ScheduleEvent> events_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Corvid::Capture
