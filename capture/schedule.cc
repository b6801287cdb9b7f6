#include "capture/schedule.h"

namespace Corvid::Capture {

std::string_view ScheduleEvent::action_name(Action action) {
    switch (action) {
        case START:
            return "start";
        case STOP:
            return "stop";
        default:
            return "none";
    }
}

ScheduleEvent::Action ScheduleEvent::action_of(std::string_view name) {
    if (name == "start") return START;
    if (name == "stop") return STOP;
    return NONE;
}

bool comes_before(const ScheduleEvent& a, const ScheduleEvent& b) {
    if (a.time != b.time) return a.time < b.time;
    return a.action == ScheduleEvent::STOP && b.action == ScheduleEvent::START;
}

bool Schedule::add(ScheduleEvent event) {
    Gantry::MT::Lock lock(mutex_);
    auto at = events_.begin();
    for (; at != events_.end() && !comes_before(event, *at); ++at)
        if (!comes_before(*at, event)) return false;
    events_.insert(at, std::move(event));
    return true;
}

std::optional<ScheduleEvent> Schedule::take_due(Gantry::Time::Stamp now) {
    Gantry::MT::Lock lock(mutex_);
    if (events_.empty() || events_.front().time > now) return std::nullopt;
    ScheduleEvent due = std::move(events_.front());
    events_.erase(events_.begin());
    return due;
}

void Schedule::drop_first_if(ScheduleEvent::Action action) {
    Gantry::MT::Lock lock(mutex_);
    if (!events_.empty() && events_.front().action == action) events_.erase(events_.begin());
}

std::vector<ScheduleEvent> Schedule::events() const {
    Gantry::MT::Lock lock(mutex_);
    return events_;
}

}  // namespace Corvid::Capture
