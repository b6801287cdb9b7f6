// The store shared between decoder threads (writers) and request threads (readers).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/xml/element.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Duration;
using Gantry::Time::Stamp;

// Events of a service ascend by start and do not overlap.
void expect_consistent(const EPGServiceListing& listing) {
    for (size_t i = 1; i < listing.events.size(); i++) {
        const EPGEvent &a = listing.events[i - 1], &b = listing.events[i];
        EXPECT_TRUE(a.start < b.start && a.end() <= b.start)
            << listing.service.service_id << " " << a.id;
    }
}

TEST(StoreThreads, WritersAndReadersShareTheStore) {
    EPGStore store([] { return Stamp("2024-03-04T10:37:00Z"); });
    constexpr int SERVICES = 8, WRITERS = 4, HOURS = 48;
    for (int s = 1; s <= SERVICES; s++)
        store.add_service("cap" + std::to_string(s % 2), Duration(3600.0), static_cast<uint16_t>(s),
                          "P", "S");
    std::vector<std::thread> threads;
    // Each writer adds a schedule of 20-minute events for every service, 10 minutes off the
    // others', so overlap removal runs concurrently with the reads.
    for (int w = 0; w < WRITERS; w++)
        threads.emplace_back([&store, w] {
            for (int slot = 0; slot < HOURS * 3; slot++)
                for (int s = 1; s <= SERVICES; s++)
                    store.add_event(
                        static_cast<uint16_t>(s), static_cast<uint16_t>(slot),
                        Stamp("2024-03-04T09:00:00Z") + Duration(slot * 1200.0 + w * 600),
                        Duration(1200), "w" + std::to_string(w), "");
        });
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    for (int r = 0; r < 2; r++)
        threads.emplace_back([&] {
            while (!done.load()) {
                std::vector<EPGServiceListing> listing;
                store.get_listing({}, Stamp("2024-03-04T12:00:00Z"), Stamp("2024-03-04T18:00:00Z"),
                                  listing);
                for (const auto& l : listing)
                    expect_consistent(l);
                std::vector<EPGServiceSummary> services;
                store.list_services(services);
                EXPECT_EQ(services.size(), static_cast<size_t>(SERVICES));
                EPGEvent e;
                store.find_event("cap1", 5, e);
                Gantry::XML::Element root("epg");
                store.build_document(root);
                reads++;
            }
        });
    for (int w = 0; w < WRITERS; w++)
        threads[static_cast<size_t>(w)].join();
    done = true;
    for (size_t i = WRITERS; i < threads.size(); i++)
        threads[i].join();
    EXPECT_GT(reads.load(), 0);

    std::vector<EPGServiceListing> all;
    store.get_all(all);
    ASSERT_EQ(all.size(), static_cast<size_t>(SERVICES));
    for (const auto& l : all) {
        expect_consistent(l);
        EXPECT_GE(l.events.size(), static_cast<size_t>(HOURS * 3 / 2));
    }
    // Removal and pruning while others read.
    std::thread remover([&] { store.remove_services("cap0"); });
    std::thread pruner([&] { store.prune(); });
    std::vector<EPGServiceSummary> services;
    store.list_services(services);
    remover.join();
    pruner.join();
    services.clear();
    store.list_services(services);
    EXPECT_EQ(services.size(), static_cast<size_t>(SERVICES / 2));
}

// Several captures feed one decoder at once, each with its own stream state.
TEST(StoreThreads, CapturesShareTheDecoder) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-184.ts");
    const auto data = Corvid::Testing::read_file(path);
    auto decode = [&data](EPGDecoder& decoder) {
        EPGStreamState state;
        ServiceOwner owner{"a", Duration(0.0), true};
        for (size_t pos = 0; pos < data.size(); pos += 1316)
            process_data(decoder, data.data() + pos, std::min<size_t>(1316, data.size() - pos),
                         state, &owner);
    };
    const auto capture_time = [] { return Stamp("2019-01-21T00:00:00Z"); };
    EPGStore alone(capture_time), shared(capture_time);
    EPGDecoder alone_decoder(alone), decoder(shared);
    decode(alone_decoder);
    std::vector<std::thread> feeders;
    for (int i = 0; i < 3; i++)
        feeders.emplace_back([&] { decode(decoder); });
    for (auto& t : feeders)
        t.join();

    std::vector<EPGServiceListing> expected, got;
    alone.get_all(expected);
    shared.get_all(got);
    // Which of two conflicting announcements of an hour wins depends on the interleaving; the
    // services, their names and a consistent schedule for each do not.
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(expected[i].service.service_id, got[i].service.service_id);
        EXPECT_EQ(expected[i].service.name, got[i].service.name);
        EXPECT_EQ(expected[i].events.empty(), got[i].events.empty());
        expect_consistent(got[i]);
    }
}

}  // namespace
}  // namespace Corvid::Capture
