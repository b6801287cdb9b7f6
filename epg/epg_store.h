// The programme guide store: for every DVB service a channel capture carries, its names and the
// events of the recent past and the future, in one-hour buckets from a per-service base time, so
// that pruning drops whole hours and a listing starts right at its window's hour. A new event
// removes the events it overlaps: each service always holds a consistent, non-overlapping
// schedule. The store is saved to and loaded from an XML state file (root "epg").
//
// Text: every string the store takes in is made well-formed UTF-8 that XML 1.0 can carry (see
// clean_utf8), so what it hands out, and every state file it writes, can be read back.
//
// Threading: any thread may call any operation. One read/write lock guards the services' contents
// and their buckets: add_service, add_event, remove_services and prune write; list_services,
// get_listing, find_event and the copying of one service at a time in save read. The service
// cache's own lock is only ever taken inside the store lock, never the other way round. save
// builds the document and writes the file outside the lock, and prune frees the dropped hours
// after releasing it, so neither keeps a decoder (and the capture thread it runs on) waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "epg/epg_event.h"
#include "gantry/cache/cache.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/read_write_lock.h"
#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Gantry::XML {
class Element;
}

namespace Corvid::Capture {

class EPGStore {
  public:
    using Clock = std::function<Gantry::Time::Stamp()>;

    // clock gives "now" for base times and pruning; tests and offline tools pass their own.
    explicit EPGStore(Clock clock = &Gantry::Time::Stamp::now);
    EPGStore(const EPGStore&) = delete;
    EPGStore& operator=(const EPGStore&) = delete;

    // Adds a service unless one with that service id exists: an existing service keeps its
    // owner, history, base time and names (except that names still empty are filled in). A zero
    // base_time means now minus history_length, rounded down to the hour.
    void add_service(const std::string& owner_id, Gantry::Time::Duration history_length,
                     uint16_t service_id, const std::string& provider, const std::string& name,
                     Gantry::Time::Stamp base_time = {}) GANTRY_EXCLUDES(lock_);

    // Adds an event to a known service, removing the events it overlaps. Events of unknown
    // services, before the service's base time or without a valid start are dropped silently;
    // an exact repeat changes nothing.
    void add_event(uint16_t service_id, uint16_t event_id, Gantry::Time::Stamp start,
                   Gantry::Time::Duration duration, const std::string& name,
                   const std::string& description) GANTRY_EXCLUDES(lock_);

    // Removes every service owned by the capture owner_id.
    void remove_services(const std::string& owner_id) GANTRY_EXCLUDES(lock_);

    // Moves each service's base time to now minus its history, dropping the whole hours that
    // fall out.
    void prune() GANTRY_EXCLUDES(lock_);

    // One summary per service, ascending service id. Always true.
    bool list_services(std::vector<EPGServiceSummary>& out) const GANTRY_EXCLUDES(lock_);

    // For the services of the given owners (all if owner_ids is empty) that have a bucket for
    // window_start, the events that run within [window_start, window_end], ascending start.
    // Always true.
    bool get_listing(const std::vector<std::string>& owner_ids, Gantry::Time::Stamp window_start,
                     Gantry::Time::Stamp window_end, std::vector<EPGServiceListing>& out) const
        GANTRY_EXCLUDES(lock_);

    // Every service with all its events, ascending service id and start. Always true.
    bool get_all(std::vector<EPGServiceListing>& out) const GANTRY_EXCLUDES(lock_);

    // The first event with that id among the services of owner_id.
    bool find_event(const std::string& owner_id, uint16_t event_id, EPGEvent& out) const
        GANTRY_EXCLUDES(lock_);

    // Writes the state file through a temporary file; a failure is logged, the previous file
    // stays, and the result is false.
    bool save(const std::string& path) const GANTRY_EXCLUDES(lock_);
    // Reads a state file through add_service and add_event, so the live rules apply: services
    // already present keep their data, events before the base time go, overlaps are resolved.
    // A missing file is a new start; an unreadable one is logged and changes nothing. False in
    // both cases.
    bool load(const std::string& path) GANTRY_EXCLUDES(lock_);

    // The document save writes, for callers that want it in memory: each service as it was when
    // copied.
    void build_document(Gantry::XML::Element& root) const GANTRY_EXCLUDES(lock_);

    // Now minus history, rounded down to the whole hour.
    Gantry::Time::Stamp base_time_for(Gantry::Time::Duration history_length) const;

  private:
    using Services = Gantry::Cache::BasicPointerCache<uint16_t, EPGServiceWithEvents>;

    void add_service_locked(const std::string& owner_id, Gantry::Time::Duration history_length,
                            uint16_t service_id, std::string provider, std::string name,
                            Gantry::Time::Stamp base_time) GANTRY_REQUIRES(lock_);
    void add_event_locked(uint16_t service_id, EPGEvent event) GANTRY_REQUIRES(lock_);
    void add_event_to(EPGServiceWithEvents& service, EPGEvent event) GANTRY_REQUIRES(lock_);
    void load_document(const Gantry::XML::Element& root) GANTRY_EXCLUDES(lock_);

    Clock clock_;
    mutable Gantry::MT::ReadWriteLock lock_;
    // The cache locks its own map; the records it owns are guarded by lock_.
    Services services_ GANTRY_GUARDED_BY(lock_);
};

}  // namespace Corvid::Capture
