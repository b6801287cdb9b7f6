#include "epg/epg_store.h"

#include <algorithm>

#include "epg/utf8.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;
namespace Log = Gantry::Log;
namespace MT = Gantry::MT;

namespace {

constexpr uint64_t HOUR = 3600;
// DVB schedules reach 64 days ahead; an event more than a year past its service's base time is
// garbage, and accepting it would make the store hold an empty bucket for every hour between.
constexpr size_t MAX_BUCKETS = 366 * 24;
// Events that overlap nothing, zero-length ones above all, are never displaced: a stream sending
// fresh ones would grow a service without bound. Event ids are unique within a service and 16
// bits wide, so no real schedule holds more.
constexpr size_t MAX_EVENTS = 65536;

// Whole hours from base to t; t must not be before base.
size_t hour_index(Time::Stamp base, Time::Stamp t) {
    return static_cast<size_t>((t.seconds() - base.seconds()) / HOUR);
}

Time::Stamp bucket_start(Time::Stamp base, size_t k) {
    return Time::Stamp::from_seconds(base.seconds() + k * HOUR);
}

// Whether a stored event e overlaps a new one running from S to E.
bool overlaps(const EPGEvent& e, Time::Stamp S, Time::Stamp E) {
    Time::Stamp s = e.start, e_end = e.end();
    return (s <= S && S < e_end) || (S < s && s < E) || (S < s && s == E && E == e_end);
}

// Whether a new event from S to E replaces the stored event e. Besides overlapping, two events
// starting together displace each other even if one has no length, so that zero-length events
// sent again and again with fresh ids keep one place each rather than piling up.
bool displaces(const EPGEvent& e, Time::Stamp S, Time::Stamp E) {
    return e.start == S || overlaps(e, S, E);
}

void log_removal(const EPGEvent& e) {
    Log::Detail() << "EPG - removing overlapping event '" << e.name << "'" << std::endl;
}

}  // namespace

EPGStore::EPGStore(Clock clock) : clock_(std::move(clock)) {}

Time::Stamp EPGStore::base_time_for(Time::Duration history_length) const {
    Time::Stamp t = clock_() - history_length;
    return Time::Stamp::from_seconds(t.seconds() - t.seconds() % HOUR);
}

void EPGStore::add_service(const std::string& owner_id, Time::Duration history_length,
                           uint16_t service_id, const std::string& provider,
                           const std::string& name, Time::Stamp base_time) {
    MT::WriteGuard guard(lock_);
    add_service_locked(owner_id, history_length, service_id, clean_utf8(provider), clean_utf8(name),
                       base_time);
}

void EPGStore::add_service_locked(const std::string& owner_id, Time::Duration history_length,
                                  uint16_t service_id, std::string provider, std::string name,
                                  Time::Stamp base_time) {
    if (EPGServiceWithEvents* existing = services_.lookup(service_id)) {
        // A service first seen without names (its events came before any SDT named it) takes
        // the first names offered; otherwise the first record stands.
        EPGServiceSummary& s = existing->summary;
        if (s.provider.empty() && s.name.empty() && !(provider.empty() && name.empty())) {
            s.provider = std::move(provider);
            s.name = std::move(name);
        }
        return;
    }
    Log::Summary() << "EPG - added service '" << name << "'"
                   << " for ID " << service_id << std::endl;
    auto* service = new EPGServiceWithEvents;
    EPGServiceSummary& s = service->summary;
    s.id = clean_utf8(owner_id);
    s.history_length = history_length;
    s.service_id = service_id;
    s.provider = std::move(provider);
    s.name = std::move(name);
    s.base_time = base_time.valid()
                      ? Time::Stamp::from_seconds(base_time.seconds() - base_time.seconds() % HOUR)
                      : base_time_for(history_length);
    services_.add(service_id, service);
}

void EPGStore::add_event(uint16_t service_id, uint16_t event_id, Time::Stamp start,
                         Time::Duration duration, const std::string& name,
                         const std::string& description) {
    EPGEvent event{event_id, start, duration, clean_utf8(name), clean_utf8(description)};
    MT::WriteGuard guard(lock_);
    add_event_locked(service_id, std::move(event));
}

void EPGStore::add_event_locked(uint16_t service_id, EPGEvent n) {
    if (EPGServiceWithEvents* service = services_.lookup(service_id))
        add_event_to(*service, std::move(n));
}

void EPGStore::add_event_to(EPGServiceWithEvents& service, EPGEvent n) {
    const Time::Stamp base = service.summary.base_time;
    const Time::Stamp S = n.start;
    if (!S.valid() || S < base) return;
    // A negative or non-finite duration would make the end meaningless.
    if (!(n.duration.seconds() >= 0) || n.duration.seconds() > 1e9) n.duration = Time::Duration();
    const Time::Stamp E = n.end();
    const size_t h = hour_index(base, S);
    if (h >= MAX_BUCKETS) return;
    auto& buckets = service.buckets;
    if (buckets.size() <= h) buckets.resize(h + 1);

    auto& bucket = buckets[h];
    auto at = std::find_if(bucket.begin(), bucket.end(),
                           [&](const EPGEvent& e) { return !(e.start < S); });
    if (at != bucket.end() && *at == n) return;
    size_t k = static_cast<size_t>(at - bucket.begin());
    bucket.insert(at, std::move(n));
    service.events++;
    const EPGEvent& added = bucket[k];
    service.longest_seconds = std::max(service.longest_seconds, added.duration.seconds());
    if (Log::enabled(Log::detail_level)) {
        Log::Detail() << "EPG - added event '" << added.name << "' at " << S.iso() << " for "
                      << added.duration.hms() << " on " << service.summary.name << " ("
                      << service.summary.service_id << ")" << std::endl;
    }

    // The new event's own hour: every event but the new one (and exact copies of it). Mostly
    // there is nothing to remove, which one look tells without copying anything.
    bool overlapped = false;
    for (size_t i = 0; i < bucket.size() && !overlapped; i++)
        overlapped = i != k && displaces(bucket[i], S, E) && !(bucket[i] == added);
    if (overlapped) {
        const EPGEvent kept = added;
        service.events -= std::erase_if(bucket, [&](const EPGEvent& e) {
            if (e == kept || !displaces(e, S, E)) return false;
            log_removal(e);
            return true;
        });
        k = static_cast<size_t>(std::find(bucket.begin(), bucket.end(), kept) - bucket.begin());
    }
    // Earlier hours: only an event that runs past S can overlap, and none that starts more
    // than the longest stored duration before S does.
    const double reach = service.longest_seconds;
    for (size_t j = h; j-- > 0;) {
        if ((S - bucket_start(base, j + 1)).seconds() >= reach) break;
        auto& earlier = buckets[j];
        while (!earlier.empty() && overlaps(earlier.back(), S, E)) {
            log_removal(earlier.back());
            earlier.pop_back();
            service.events--;
        }
    }
    // Later hours: only events starting no later than E can overlap.
    for (size_t j = h + 1; j < buckets.size(); j++) {
        if (E < bucket_start(base, j)) break;
        auto& later = buckets[j];
        while (!later.empty() && overlaps(later.front(), S, E)) {
            log_removal(later.front());
            later.erase(later.begin());
            service.events--;
        }
    }
    // A full service takes an event only in the place of others.
    if (service.events > MAX_EVENTS) {
        bucket.erase(bucket.begin() + static_cast<ptrdiff_t>(k));
        service.events--;
    }
}

void EPGStore::remove_services(const std::string& owner_id) {
    MT::WriteGuard guard(lock_);
    std::vector<uint16_t> ids;
    services_.for_each([&](uint16_t id, const EPGServiceWithEvents& service) {
        if (service.summary.id == owner_id) ids.push_back(id);
    });
    for (uint16_t id : ids) {
        services_.remove(id);
        Log::Summary() << "EPG - removed service ID " << id << " for ID '" << owner_id << "'"
                       << std::endl;
    }
}

void EPGStore::prune() {
    // The dropped hours are freed after the lock is released.
    std::vector<EPGServiceWithEvents::Bucket> dropped;
    MT::WriteGuard guard(lock_);
    services_.for_each([&](uint16_t, EPGServiceWithEvents& service) {
        Time::Stamp old_base = service.summary.base_time;
        Time::Stamp new_base = base_time_for(service.summary.history_length);
        if (new_base == old_base) return;
        auto& buckets = service.buckets;
        if (new_base > old_base) {
            uint64_t hours = (new_base.seconds() - old_base.seconds()) / HOUR;
            size_t drop = static_cast<size_t>(std::min<uint64_t>(hours, buckets.size()));
            for (size_t j = 0; j < drop; j++) {
                service.events -= buckets[j].size();
                dropped.push_back(std::move(buckets[j]));
            }
            buckets.erase(buckets.begin(), buckets.begin() + static_cast<ptrdiff_t>(drop));
        } else {
            // The clock went back: bucket k must still start k hours after the base, so the
            // buckets move up by the hours gained; beyond the year add_event accepts, they go.
            uint64_t hours = (old_base.seconds() - new_base.seconds()) / HOUR;
            if (hours + buckets.size() > MAX_BUCKETS) {
                buckets.clear();
                service.events = 0;
            } else if (!buckets.empty())
                buckets.insert(buckets.begin(), static_cast<size_t>(hours),
                               EPGServiceWithEvents::Bucket());
        }
        service.summary.base_time = new_base;
    });
}

bool EPGStore::list_services(std::vector<EPGServiceSummary>& out) const {
    MT::ReadGuard guard(lock_);
    services_.for_each(
        [&](uint16_t, const EPGServiceWithEvents& service) { out.push_back(service.summary); });
    return true;
}

bool EPGStore::get_listing(const std::vector<std::string>& owner_ids, Time::Stamp W0,
                           Time::Stamp W1, std::vector<EPGServiceListing>& out) const {
    MT::ReadGuard guard(lock_);
    const Time::Stamp last_start = std::max(W0, W1);
    auto taken = [&](const EPGEvent& e) {
        Time::Stamp s = e.start, e_end = e.end();
        return (s <= W0 && W0 < e_end) || (s < W1 && W1 < e_end) || (W0 < s && e_end <= W1);
    };
    services_.for_each([&](uint16_t, const EPGServiceWithEvents& service) {
        const EPGServiceSummary& summary = service.summary;
        if (!owner_ids.empty() &&
            std::find(owner_ids.begin(), owner_ids.end(), summary.id) == owner_ids.end())
            return;
        if (W0 < summary.base_time) return;
        size_t h = hour_index(summary.base_time, W0);
        const auto& buckets = service.buckets;
        if (h >= buckets.size()) return;
        EPGServiceListing listing{summary, {}};
        for (size_t j = h; j-- > 0;) {
            if (buckets[j].empty()) continue;
            if (taken(buckets[j].back())) listing.events.push_back(buckets[j].back());
            break;
        }
        for (size_t j = h; j < buckets.size(); j++) {
            // Nothing starting after both window ends can be taken.
            if (last_start < bucket_start(summary.base_time, j)) break;
            for (const EPGEvent& e : buckets[j])
                if (taken(e)) listing.events.push_back(e);
        }
        out.push_back(std::move(listing));
    });
    return true;
}

bool EPGStore::get_all(std::vector<EPGServiceListing>& out) const {
    MT::ReadGuard guard(lock_);
    services_.for_each([&](uint16_t, const EPGServiceWithEvents& service) {
        EPGServiceListing listing{service.summary, {}};
        for (const auto& bucket : service.buckets)
            listing.events.insert(listing.events.end(), bucket.begin(), bucket.end());
        out.push_back(std::move(listing));
    });
    return true;
}

bool EPGStore::find_event(const std::string& owner_id, uint16_t event_id, EPGEvent& out) const {
    MT::ReadGuard guard(lock_);
    bool found = false;
    services_.for_each([&](uint16_t, const EPGServiceWithEvents& service) {
        if (found || service.summary.id != owner_id) return;
        for (const auto& bucket : service.buckets) {
            for (const EPGEvent& e : bucket) {
                if (e.id == event_id) {
                    out = e;
                    found = true;
                    return;
                }
            }
        }
    });
    return found;
}

}  // namespace Corvid::Capture
