#include "epg/epg_store.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Corvid::Testing::LogCapture;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;
using Testing::TempDir;

// "HH:MM" on 2024-03-04, or a whole ISO 8601 time.
Stamp at(const std::string& time) {
    return Stamp(time.size() == 5 ? "2024-03-04T" + time + ":00Z" : time);
}

// Services are owned by "cap" with an hour of history unless said otherwise: bucket 0 is 09:00.
class StoreTest : public ::testing::Test {
  protected:
    StoreTest() : store([this] { return now; }) {}

    void add_service(uint16_t sid = 1, const std::string& owner = "cap") {
        store.add_service(owner, Duration(3600.0), sid, "provider", "Service", Stamp());
    }
    void add(uint16_t id, const char* start, double minutes, uint16_t sid = 1) {
        store.add_event(sid, id, at(start), Duration(minutes * 60), "event " + std::to_string(id),
                        "about it");
    }
    static std::vector<EPGServiceListing> all(const EPGStore& from) {
        std::vector<EPGServiceListing> out;
        from.get_all(out);
        return out;
    }
    std::vector<uint16_t> ids(uint16_t sid = 1) {
        std::vector<uint16_t> out;
        for (const auto& l : all(store))
            for (const auto& e : l.events)
                if (l.service.service_id == sid) out.push_back(e.id);
        return out;
    }
    // The listing for a window as "service:event,event service:event...".
    std::string listing(const char* from, const char* to,
                        const std::vector<std::string>& owners = {}) {
        std::vector<EPGServiceListing> out;
        store.get_listing(owners, at(from), at(to), out);
        std::string text;
        for (const auto& l : out) {
            text += (text.empty() ? "" : " ") + std::to_string(l.service.service_id) + ":";
            for (const auto& e : l.events)
                text += std::to_string(e.id) + (&e == &l.events.back() ? "" : ",");
        }
        return text;
    }

    Stamp now = at("2024-03-04T10:37:12Z");
    EPGStore store;
};

// Each service always holds a schedule without overlaps: a new event removes every event it
// overlaps, however many hours back that one started. Events starting together displace each
// other even when one has no length, so zero-length ones with fresh ids cannot pile up.
TEST_F(StoreTest, NewEventsRemoveWhatTheyOverlap) {
    struct {
        const char* why;
        bool fresh;        // a new service; otherwise the previous case goes on
        const char* adds;  // "id start minutes ..."
        std::vector<uint16_t> kept;
    } const cases[] = {
        {"before the base time, at it", true, "1 08:30 60 2 09:00 30", {2}},
        {"over a year ahead", true, "1 2025-03-05T09:00:00Z 10", {}},
        {"two months ahead", false, "2 2024-05-04T09:00:00Z 10", {2}},
        {"splits a long one", true, "1 12:00 120 2 13:00 30", {2}},
        {"into the hours around", true, "1 11:50 30 2 13:10 20 3 14:00 20 4 12:00 80", {4, 3}},
        {"spans hours", false, "5 10:00 30 6 15:00 10 7 09:00 240", {7, 3, 6}},
        {"one running since hours back", false, "8 14:50 5 9 12:30 10", {9, 3, 8, 6}},
        {"same event again", true, "1 12:00 60 1 12:00 60", {1}},
        {"zero length inside", true, "1 11:30 60 3 12:00 0", {3}},
        {"zero length at a start", true, "2 12:00 30 4 12:00 0", {4}},
        {"ending at zero length", true, "5 13:00 0 7 12:00 60", {7}},
        {"ending at a start", true, "6 13:00 30 8 12:00 60", {8, 6}},
        {"zero length removes one starting with it", false, "9 13:00 0", {8, 9}},
        {"one starting with zero length replaces it", false, "10 13:00 30", {8, 10}},
        {"zero length again and again", true, "1 12:00 0 2 12:00 0 3 12:00 0", {3}},
    };
    uint16_t sid = 0;
    for (const auto& c : cases) {
        if (c.fresh) add_service(++sid);
        std::istringstream adds(c.adds);
        uint16_t id;
        std::string start;
        for (double minutes; adds >> id >> start >> minutes;)
            add(id, start.c_str(), minutes, sid);
        EXPECT_EQ(ids(sid), c.kept) << c.why;
    }
}

// Zero-length events at fresh times overlap nothing: a service holds at most 65536 events (the id
// space), and a full one takes an event only in the place of others.
TEST_F(StoreTest, EventsPerServiceAreBounded) {
    add_service();
    for (uint32_t i = 0; i < 70000; i++)
        store.add_event(1, uint16_t(i), at("09:00") + Duration(i * 450.0), Duration(), "", "");
    EXPECT_EQ(ids().size(), 65536u);
    add(2, "2024-03-04T09:00:01Z", 1);  // overlaps nothing: no room
    add(1, "09:00", 60);                // replaces nine, 09:00 to 10:00 included
    const auto events = all(store)[0].events;
    EXPECT_EQ(events.size(), 65536u - 9 + 1);
    EXPECT_EQ(events[0].name + events[1].start.iso(), "event 12024-03-04T10:07:30Z");
}

// Pruning drops whole hours; the clock going back must not shift events into the wrong hours.
TEST_F(StoreTest, PruneDropsWholeHours) {
    add_service();
    add(1, "09:10", 10);
    add(2, "10:10", 10);
    add(4, "12:10", 10);
    now = now + Duration(3 * 3600);
    store.prune();
    EXPECT_EQ(all(store)[0].service.base_time.iso(), "2024-03-04T12:00:00Z");
    add(5, "12:30", 10);  // bucket 0 is now 12:00: beside event 4
    now = now - Duration(5 * 3600);
    store.prune();
    EXPECT_EQ(listing("12:15", "12:15"), "1:4");
    add(6, "12:40", 10);
    EXPECT_EQ(ids(), (std::vector<uint16_t>{4, 5, 6}));
}

// A listing looks back to the last earlier event once its window's hour has a bucket.
TEST_F(StoreTest, ListingWindowAndFindEvent) {
    add_service(1);
    add_service(2, "other");
    add(1, "11:00", 60);
    add(2, "12:00", 60);
    add(3, "13:00", 60);
    add(4, "09:30", 240, 2);  // to 13:30
    EXPECT_EQ(listing("11:30", "13:10", {"cap"}), "1:1,2,3");
    EXPECT_EQ(listing("12:45", "12:50"), "1:2");
    add(5, "13:30", 30, 2);
    EXPECT_EQ(listing("12:45", "12:50"), "1:2 2:4");
    EXPECT_EQ(listing("2024-03-04T08:59:59Z", "09:00") +
                  listing("2024-03-05T09:00:00Z", "2024-03-05T10:00:00Z"),
              "");
    EPGEvent e;
    EXPECT_TRUE(store.find_event("other", 4, e) && !store.find_event("cap", 4, e));
}

// The lines an operator greps for. Text from the air may hold anything: what the store writes must
// still be XML that xmllint accepts, in the documented layout, and load back the same.
TEST_F(StoreTest, LogLinesAndStateFile) {
    TempDir dir;
    const std::string file = dir.file("epg.xml"), unwritable = dir.file("no/such/folder/epg.xml");
    Testing::write_file(file, "<epg><services>");
    LogCapture log;
    add_service(1);
    store.remove_services("cap");
    store.load(file);
    store.save(unwritable);
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "2 EPG - added service 'Service' for ID 1", "2 EPG - removed service ID 1 for ID 'cap'",
            "1 XML Fatal Error: Input stream failed unexpectedly at line 1",
            "1 EPG - could not parse save data from " + file,
            "1 Config: can't create " + unwritable + "~new for update: No such file or directory",
            "1 EPG - could not write new state to " + unwritable}));
    CORVID_REQUIRE_PROGRAM("xmllint");
    const char raw[] = "ctl\x01\x02\x1B[0m nul\x00 bad\xC3 \xFF end";
    const std::string hostile(raw, sizeof raw - 1), cleaned = "ctl[0m nul bad\uFFFD \uFFFD end";
    store.add_service("cap", Duration(3600.0), 1, hostile, hostile);
    store.add_event(1, 1, at("12:00"), Duration(30 * 60), hostile, hostile);
    store.add_service("cap one", Duration(7200.0), 513, "A & B <P>", "Ch\xC3\xA9 \"1\"");
    store.add_event(513, 2, at("2024-03-04T12:00:00.5Z"), Duration(90.25), "'q'", "one\n  two\n");
    ASSERT_TRUE(store.save(file));
    int status = -1;
    EXPECT_EQ(Testing::run_command("xmllint --xpath 'string(/epg/services/service/events/event)' " +
                                       Testing::shell_quote(file),
                                   &status),
              cleaned + "\n");
    EXPECT_EQ(status, 0) << "xmllint rejects the state file";
    EPGStore loaded([this] { return now; });
    ASSERT_TRUE(loaded.load(file));
    auto a = all(store), b = all(loaded);
    ASSERT_EQ(b.size(), 2u);
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(a[i].service.name + a[i].service.provider + a[i].service.base_time.iso(),
                  b[i].service.name + b[i].service.provider + b[i].service.base_time.iso());
        EXPECT_EQ(a[i].events, b[i].events);
    }
    EXPECT_EQ(b[0].events[0].name + "|" + b[0].service.name, cleaned + "|" + cleaned);
}

}  // namespace
}  // namespace Corvid::Capture
