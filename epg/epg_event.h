// The records of the programme guide store: events, services with their hour buckets, and the
// copies handed out by its queries.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

struct EPGEvent {
    uint16_t id = 0;  // DVB event id
    Gantry::Time::Stamp start;
    Gantry::Time::Duration duration;
    std::string name;         // title, UTF-8
    std::string description;  // short description, UTF-8

    Gantry::Time::Stamp end() const { return start + duration; }
    friend bool operator==(const EPGEvent&, const EPGEvent&) = default;
};

// A service as the queries report it.
struct EPGServiceSummary {
    std::string id;  // owning capture
    Gantry::Time::Duration history_length;
    uint16_t service_id = 0;
    std::string provider;
    std::string name;
    Gantry::Time::Stamp base_time;  // start of bucket 0, a whole hour
};

struct EPGServiceListing {
    EPGServiceSummary service;
    std::vector<EPGEvent> events;  // ascending start
};

// One service in the store. Bucket k holds the events starting in
// [base_time + k hours, base_time + k + 1 hours), ascending by start.
//
// Owned by the store's cache; every field is guarded by the store's read/write lock.
struct EPGServiceWithEvents {
    // A handful of events start in any one hour, so a bucket is a small vector: it inserts in
    // the middle as cheaply as a deque and costs far less memory per (often empty) hour.
    using Bucket = std::vector<EPGEvent>;

    EPGServiceSummary summary;
    std::deque<Bucket> buckets;  // appended at the back, dropped from the front by pruning
    // Longest duration ever stored here: no event further back than this can reach a given
    // time, which bounds the buckets an overlap search has to visit.
    double longest_seconds = 0;
    size_t events = 0;  // in all buckets
};

}  // namespace Corvid::Capture
