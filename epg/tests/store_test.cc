#include "epg/epg_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/log_capture.h"
#include "epg/utf8.h"
#include "gantry/xml/parser.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Corvid::Testing::LogCapture;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;
using Testing::TempDir;

Stamp at(const char* iso) {
    Stamp t(iso);
    EXPECT_TRUE(t.valid()) << iso;
    return t;
}

Duration minutes(double m) {
    return Duration(m * 60);
}

// A store whose clock the test sets; services are owned by "cap" with one hour of history
// unless said otherwise.
class StoreTest : public ::testing::Test {
  protected:
    StoreTest() : store([this] { return now; }) {}

    void add_service(uint16_t sid = 1, const std::string& owner = "cap") {
        store.add_service(owner, Duration(3600.0), sid, "provider", "Service", Stamp());
    }
    void add(uint16_t id, const char* start, double length_minutes, const std::string& name = "",
             uint16_t sid = 1) {
        store.add_event(sid, id, at(start), minutes(length_minutes),
                        name.empty() ? "event " + std::to_string(id) : name, "about it");
    }
    std::vector<uint16_t> ids(uint16_t sid = 1) {
        std::vector<EPGServiceListing> all;
        store.get_all(all);
        std::vector<uint16_t> out;
        for (const auto& listing : all)
            if (listing.service.service_id == sid)
                for (const auto& e : listing.events)
                    out.push_back(e.id);
        return out;
    }
    EPGServiceSummary summary(uint16_t sid = 1) {
        std::vector<EPGServiceSummary> services;
        store.list_services(services);
        for (const auto& s : services)
            if (s.service_id == sid) return s;
        ADD_FAILURE() << "no service " << sid;
        return {};
    }

    Stamp now = at("2024-03-04T10:37:12Z");
    EPGStore store;
};

TEST_F(StoreTest, NewServiceBaseTimeIsNowMinusHistoryOnTheHour) {
    LogCapture log;
    add_service(7);
    EXPECT_EQ(summary(7).base_time.iso(), "2024-03-04T09:00:00Z");
    EXPECT_TRUE(log.contains("EPG - added service 'Service' for ID 7", 2));
    // A given base time is used as it is (on the hour).
    store.add_service("cap", Duration(0.0), 8, "p", "n", at("2024-03-01T05:00:00Z"));
    EXPECT_EQ(summary(8).base_time.iso(), "2024-03-01T05:00:00Z");
}

TEST_F(StoreTest, ExistingServiceKeepsItsRecord) {
    add_service(1, "cap");
    now = at("2024-03-04T20:00:00Z");
    LogCapture log;
    store.add_service("other", Duration(7200.0), 1, "new provider", "New name", Stamp());
    EPGServiceSummary s = summary(1);
    EXPECT_EQ(s.id, "cap");
    EXPECT_EQ(s.name, "Service");
    EXPECT_EQ(s.provider, "provider");
    EXPECT_EQ(s.history_length.seconds(), 3600);
    EXPECT_EQ(s.base_time.iso(), "2024-03-04T09:00:00Z");
    EXPECT_FALSE(log.contains("added service"));
}

TEST_F(StoreTest, ServiceFirstSeenWithoutNamesTakesTheFirstNames) {
    store.add_service("cap", Duration(3600.0), 3, "", "", Stamp());
    store.add_service("cap", Duration(3600.0), 3, "Provider", "Name", Stamp());
    store.add_service("cap", Duration(3600.0), 3, "Later", "Other", Stamp());
    EXPECT_EQ(summary(3).provider, "Provider");
    EXPECT_EQ(summary(3).name, "Name");
}

TEST_F(StoreTest, EventsBeforeTheBaseTimeAreDropped) {
    add_service();
    add(1, "2024-03-04T08:30:00Z", 60);           // 30 minutes before the base time
    add(2, "2024-03-04T09:00:00Z", 30);           // exactly at it: bucket 0
    add(3, "2024-03-04T12:00:00Z", 30, "x", 99);  // unknown service
    EXPECT_EQ(ids(), std::vector<uint16_t>{2});
    EXPECT_EQ(ids(99), std::vector<uint16_t>{});
}

TEST_F(StoreTest, NewEventRemovesTheOneItSplits) {
    add_service();
    add(1, "2024-03-04T12:00:00Z", 120, "Long film");
    LogCapture log;
    add(2, "2024-03-04T13:00:00Z", 30);
    EXPECT_EQ(ids(), std::vector<uint16_t>{2});
    EXPECT_TRUE(log.contains("EPG - removing overlapping event 'Long film'", 3));
    EXPECT_TRUE(
        log.contains("EPG - added event 'event 2' at 2024-03-04T13:00:00Z for 00:30:00 on "
                     "Service (1)",
                     3));
}

TEST_F(StoreTest, OverlapReachesIntoEarlierAndLaterHours) {
    add_service();
    add(1, "2024-03-04T11:50:00Z", 30);  // last of the 11:00 bucket, runs into 12:00
    add(2, "2024-03-04T13:10:00Z", 20);  // first of the 13:00 bucket
    add(3, "2024-03-04T14:00:00Z", 20);
    add(4, "2024-03-04T12:00:00Z", 80);  // 12:00 to 13:20
    EXPECT_EQ(ids(), (std::vector<uint16_t>{4, 3}));
    add(5, "2024-03-04T10:00:00Z", 30);
    add(6, "2024-03-04T15:00:00Z", 10);
    add(7, "2024-03-04T09:00:00Z", 240);  // 09:00 to 13:00: removes 5 and 4, which start in it
    EXPECT_EQ(ids(), (std::vector<uint16_t>{7, 3, 6}));
    add(8, "2024-03-04T14:50:00Z", 5);  // overlaps nothing
    // A long event several hours back still counts: 7 started three and a half hours before.
    add(9, "2024-03-04T12:30:00Z", 10);
    EXPECT_EQ(ids(), (std::vector<uint16_t>{9, 3, 8, 6}));
}

TEST_F(StoreTest, SameEventTwiceChangesNothing) {
    add_service();
    add(1, "2024-03-04T12:00:00Z", 60);
    LogCapture log;
    add(1, "2024-03-04T12:00:00Z", 60);
    EXPECT_EQ(ids(), std::vector<uint16_t>{1});
    EXPECT_TRUE(log.lines().empty());
    // A changed title is a new event that replaces the old one.
    add(1, "2024-03-04T12:00:00Z", 60, "renamed");
    EXPECT_EQ(ids(), std::vector<uint16_t>{1});
    std::vector<EPGServiceListing> all;
    store.get_all(all);
    EXPECT_EQ(all[0].events[0].name, "renamed");
}

TEST_F(StoreTest, ZeroLengthEvents) {
    add_service(1);
    add_service(2);
    add_service(3);
    // A zero-length event at 12:00 removes what runs across 12:00 or starts there and goes on.
    add(1, "2024-03-04T11:30:00Z", 60, "", 1);
    add(2, "2024-03-04T12:00:00Z", 30, "", 2);
    add(3, "2024-03-04T12:00:00Z", 0, "", 1);
    add(4, "2024-03-04T12:00:00Z", 0, "", 2);
    EXPECT_EQ(ids(1), std::vector<uint16_t>{3});
    EXPECT_EQ(ids(2), std::vector<uint16_t>{4});
    // An event ending at 13:00 removes a zero-length event at 13:00, but not one that starts
    // there and goes on.
    add_service(4);
    add(5, "2024-03-04T13:00:00Z", 0, "", 3);
    add(6, "2024-03-04T13:00:00Z", 30, "", 4);
    add(7, "2024-03-04T12:00:00Z", 60, "", 3);
    add(8, "2024-03-04T12:00:00Z", 60, "", 4);
    EXPECT_EQ(ids(3), std::vector<uint16_t>{7});
    EXPECT_EQ(ids(4), (std::vector<uint16_t>{8, 6}));
    // A zero-length event removes the one that starts with it and goes on; the other way round
    // they share the start.
    add(9, "2024-03-04T13:00:00Z", 0, "", 4);
    EXPECT_EQ(ids(4), (std::vector<uint16_t>{8, 9}));
    add(10, "2024-03-04T13:00:00Z", 30, "", 4);
    EXPECT_EQ(ids(4), (std::vector<uint16_t>{8, 10, 9}));
}

TEST_F(StoreTest, PruneDropsWholeHours) {
    add_service();
    add(1, "2024-03-04T09:10:00Z", 10);
    add(2, "2024-03-04T10:10:00Z", 10);
    add(3, "2024-03-04T11:50:00Z", 30);  // still running when its hour is pruned
    add(4, "2024-03-04T12:10:00Z", 10);
    now = now + Duration(3 * 3600);
    store.prune();
    EXPECT_EQ(summary().base_time.iso(), "2024-03-04T12:00:00Z");
    EXPECT_EQ(ids(), std::vector<uint16_t>{4});
    // Bucket 0 is now 12:00: an event there lands beside event 4.
    add(5, "2024-03-04T12:30:00Z", 10);
    EXPECT_EQ(ids(), (std::vector<uint16_t>{4, 5}));
}

// The clock going back must not shift events into the wrong hours: bucket k always starts k
// hours after the base time.
TEST_F(StoreTest, PruneAfterTheClockWentBackKeepsEventsInTheirHours) {
    add_service();
    add(1, "2024-03-04T10:10:00Z", 10);
    now = now - Duration(2 * 3600);
    store.prune();
    EXPECT_EQ(summary().base_time.iso(), "2024-03-04T07:00:00Z");
    std::vector<EPGServiceListing> listing;
    store.get_listing({}, at("2024-03-04T10:15:00Z"), at("2024-03-04T10:15:00Z"), listing);
    ASSERT_EQ(listing.size(), 1u);
    ASSERT_EQ(listing[0].events.size(), 1u);
    EXPECT_EQ(listing[0].events[0].id, 1);
    // A later event in the same hour still sorts after it.
    add(2, "2024-03-04T10:40:00Z", 10);
    EXPECT_EQ(ids(), (std::vector<uint16_t>{1, 2}));
}

TEST_F(StoreTest, EventsFarBeyondTheBaseTimeAreRefused) {
    add_service();
    add(1, "2025-03-05T09:00:00Z", 10);  // over a year ahead: would need 8,800 empty hours
    add(2, "2024-05-04T09:00:00Z", 10);  // two months ahead: a normal schedule
    EXPECT_EQ(ids(), std::vector<uint16_t>{2});
}

TEST_F(StoreTest, ListingWindow) {
    add_service(1);
    add_service(2, "other");
    add(1, "2024-03-04T11:00:00Z", 60);
    add(2, "2024-03-04T12:00:00Z", 60);
    add(3, "2024-03-04T13:00:00Z", 60);
    add(4, "2024-03-04T12:00:00Z", 30, "", 2);
    std::vector<EPGServiceListing> out;
    // Now and then: the event running at 12:15 on each service.
    store.get_listing({}, at("2024-03-04T12:15:00Z"), at("2024-03-04T12:15:00Z"), out);
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].events.size(), 1u);
    EXPECT_EQ(out[0].events[0].id, 2);
    ASSERT_EQ(out[1].events.size(), 1u);
    EXPECT_EQ(out[1].events[0].id, 4);
    // A window ending inside an event includes it; one owner only.
    out.clear();
    store.get_listing({"cap"}, at("2024-03-04T11:30:00Z"), at("2024-03-04T13:10:00Z"), out);
    ASSERT_EQ(out.size(), 1u);
    std::vector<uint16_t> got;
    for (const auto& e : out[0].events)
        got.push_back(e.id);
    EXPECT_EQ(got, (std::vector<uint16_t>{1, 2, 3}));
    // A window starting before the base time, or past the last bucket, leaves services out.
    out.clear();
    store.get_listing({}, at("2024-03-04T08:59:59Z"), at("2024-03-04T12:00:00Z"), out);
    EXPECT_TRUE(out.empty());
    store.get_listing({}, at("2024-03-05T08:00:00Z"), at("2024-03-05T09:00:00Z"), out);
    EXPECT_TRUE(out.empty());
    store.get_listing({"nobody"}, at("2024-03-04T12:15:00Z"), at("2024-03-04T12:15:00Z"), out);
    EXPECT_TRUE(out.empty());
}

TEST_F(StoreTest, ListingLooksBackToTheLastEarlierEvent) {
    add_service();
    add(1, "2024-03-04T09:30:00Z", 240);  // 09:30 to 13:30
    std::vector<EPGServiceListing> out;
    store.get_listing({}, at("2024-03-04T12:45:00Z"), at("2024-03-04T12:50:00Z"), out);
    ASSERT_EQ(out.size(), 0u);  // no bucket for 12:00 exists yet
    add(2, "2024-03-04T13:30:00Z", 30);
    store.get_listing({}, at("2024-03-04T12:45:00Z"), at("2024-03-04T12:50:00Z"), out);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].events.size(), 1u);
    EXPECT_EQ(out[0].events[0].id, 1);
}

TEST_F(StoreTest, FindEventAndRemoveServices) {
    add_service(1, "cap");
    add_service(2, "cap");
    add_service(3, "other");
    add(10, "2024-03-04T12:00:00Z", 30, "", 2);
    add(10, "2024-03-04T12:00:00Z", 30, "theirs", 3);
    EPGEvent e;
    ASSERT_TRUE(store.find_event("cap", 10, e));
    EXPECT_EQ(e.name, "event 10");
    EXPECT_EQ(e.start.iso(), "2024-03-04T12:00:00Z");
    EXPECT_FALSE(store.find_event("cap", 11, e));
    EXPECT_FALSE(store.find_event("nobody", 10, e));

    LogCapture log;
    store.remove_services("cap");
    std::vector<EPGServiceSummary> left;
    store.list_services(left);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].service_id, 3);
    EXPECT_TRUE(log.contains("EPG - removed service ID 1 for ID 'cap'", 2));
    EXPECT_TRUE(log.contains("EPG - removed service ID 2 for ID 'cap'", 2));
    EXPECT_FALSE(store.find_event("cap", 10, e));
}

TEST_F(StoreTest, SaveAndLoadRoundTrip) {
    TempDir dir;
    store.add_service("cap one", Duration(7200.0), 513, "A & B <Provider>", "Ch\xC3\xA9 \"1\"");
    store.add_event(513, 1, at("2024-03-04T09:30:00Z"), minutes(45), "Title 'quoted' & more",
                    "Line one\nLine two  with  spaces\n");
    store.add_event(513, 2, at("2024-03-04T12:00:00.5Z"), Duration(90.25), "", "");
    store.add_service("cap two", Duration(3600.0), 7, "", "", Stamp());
    ASSERT_TRUE(store.save(dir.file("epg.xml")));

    EPGStore loaded([this] { return now; });
    ASSERT_TRUE(loaded.load(dir.file("epg.xml")));
    std::vector<EPGServiceListing> a, b;
    store.get_all(a);
    loaded.get_all(b);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(a[i].service.id, b[i].service.id);
        EXPECT_EQ(a[i].service.service_id, b[i].service.service_id);
        EXPECT_EQ(a[i].service.provider, b[i].service.provider);
        EXPECT_EQ(a[i].service.name, b[i].service.name);
        EXPECT_EQ(a[i].service.base_time, b[i].service.base_time);
        EXPECT_EQ(a[i].service.history_length, b[i].service.history_length);
        EXPECT_EQ(a[i].events, b[i].events);
    }
    ASSERT_EQ(b[1].events.size(), 2u);
    EXPECT_EQ(b[1].events[0].description, "Line one\nLine two  with  spaces\n");
}

TEST_F(StoreTest, SavedFileIsTheDocumentedLayout) {
    CORVID_REQUIRE_PROGRAM("xmllint");
    TempDir dir;
    add_service(5);
    add(1, "2024-03-04T12:00:00Z", 30, "Title", 5);
    ASSERT_TRUE(store.save(dir.file("epg.xml")));
    int status = -1;
    std::string out = Testing::run_command(
        "xmllint --xpath 'concat(/epg/services/service/@service_id, \"|\", "
        "/epg/services/service/@base_time, \"|\", /epg/services/service/@history_length, \"|\", "
        "/epg/services/service/events/event/@start, \"|\", "
        "/epg/services/service/events/event/@duration, \"|\", "
        "/epg/services/service/events/event)' " +
            Testing::shell_quote(dir.file("epg.xml")),
        &status);
    EXPECT_EQ(status, 0);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    EXPECT_EQ(out, "5|2024-03-04T09:00:00Z|01:00:00|2024-03-04T12:00:00Z|00:30:00|about it");
}

// Text from the air may hold anything: what the store writes must still be XML a reader accepts,
// and load back to the same text.
TEST_F(StoreTest, SavedStateWithHostileTextLoadsBack) {
    CORVID_REQUIRE_PROGRAM("xmllint");
    TempDir dir;
    const char raw[] = "ctl\x01\x02\x1B[0m nul\x00 bad\xC3 \xFF end";
    const std::string hostile(raw, sizeof raw - 1);
    store.add_service("cap", Duration(3600.0), 1, hostile, hostile);
    store.add_event(1, 1, at("2024-03-04T12:00:00Z"), minutes(30), hostile, hostile);
    ASSERT_TRUE(store.save(dir.file("epg.xml")));
    int status = -1;
    Testing::run_command("xmllint --noout " + Testing::shell_quote(dir.file("epg.xml")), &status);
    EXPECT_EQ(status, 0) << "xmllint rejects the state file";

    EPGStore loaded([this] { return now; });
    ASSERT_TRUE(loaded.load(dir.file("epg.xml")));
    std::vector<EPGServiceListing> b;
    loaded.get_all(b);
    ASSERT_EQ(b.size(), 1u);
    ASSERT_EQ(b[0].events.size(), 1u);
    const std::string expected = "ctl[0m nul bad\xEF\xBF\xBD \xEF\xBF\xBD end";
    EXPECT_EQ(b[0].service.name, expected);
    EXPECT_EQ(b[0].events[0].name, expected);
    EXPECT_EQ(b[0].events[0].description, expected);
    EXPECT_TRUE(is_clean_utf8(b[0].events[0].description));
}

TEST_F(StoreTest, EmptyStoreAndMissingOrBrokenFiles) {
    TempDir dir;
    ASSERT_TRUE(store.save(dir.file("empty.xml")));
    Gantry::XML::Parser parser;
    std::ifstream in(dir.file("empty.xml"));
    auto& root = parser.read(in);
    EXPECT_EQ(root.name(), "epg");
    ASSERT_EQ(root.children().size(), 1u);
    EXPECT_EQ(root.get_child(0).name(), "services");
    EXPECT_TRUE(root.get_child(0).children().empty());

    LogCapture log;
    EXPECT_FALSE(store.load(dir.file("missing.xml")));
    EXPECT_TRUE(log.contains("EPG - could not open file " + dir.file("missing.xml") +
                                 " for reading: No such file or directory - assuming new start",
                             2));
    Testing::write_file(dir.file("broken.xml"), "<epg><services>");
    EXPECT_FALSE(store.load(dir.file("broken.xml")));
    EXPECT_TRUE(log.contains("EPG - could not parse save data from " + dir.file("broken.xml"), 1));
    Testing::write_file(dir.file("other.xml"), "<captures/>");
    EXPECT_FALSE(store.load(dir.file("other.xml")));
    std::vector<EPGServiceSummary> services;
    store.list_services(services);
    EXPECT_TRUE(services.empty());
}

TEST_F(StoreTest, SaveFailureKeepsThePreviousFile) {
    TempDir dir;
    LogCapture log;
    EXPECT_FALSE(store.save(dir.file("no/such/folder/epg.xml")));
    EXPECT_TRUE(log.contains(
        "EPG - could not write new state to " + dir.file("no/such/folder/epg.xml"), 1));
}

TEST_F(StoreTest, LoadAppliesTheLiveRules) {
    TempDir dir;
    Testing::write_file(
        dir.file("epg.xml"),
        "<epg><services>"
        "<service id='cap' history_length='01:00:00' base_time='' service_id='4' "
        "provider='P' name='N'><events>"
        "<event id='1' start='2024-03-04T08:00:00Z' duration='00:30:00' name='old'/>"
        "<event id='2' start='2024-03-04T12:00:00Z' duration='02:00:00' name='a'/>"
        "<event id='3' start='2024-03-04T13:00:00Z' duration='00:30:00' name='b'>"
        "text</event>"
        "<event start='bad' duration='00:30:00' name='c'/>"
        "</events></service></services></epg>");
    ASSERT_TRUE(store.load(dir.file("epg.xml")));
    EXPECT_EQ(summary(4).base_time.iso(), "2024-03-04T09:00:00Z");  // computed: none was given
    EXPECT_EQ(ids(4), std::vector<uint16_t>{3});
}

}  // namespace
}  // namespace Corvid::Capture
