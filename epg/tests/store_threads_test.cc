// The store shared between decoder threads (writers) and request threads (readers).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "epg/epg_store.h"
#include "gantry/xml/element.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Duration;
using Gantry::Time::Stamp;

// Writers add 20-minute events 10 minutes off each other's, so overlap removal runs while a reader
// lists and writes the document and an owner's services go: each listing ascends without overlaps.
TEST(StoreThreads, WritersAndReadersShareTheStore) {
    EPGStore store([] { return Stamp("2024-03-04T10:37:00Z"); });
    for (uint16_t s = 1; s <= 8; s++)
        store.add_service("cap" + std::to_string(s % 2), Duration(3600.0), s, "P", "S");
    std::atomic<int> writing{3};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; w++)
        threads.emplace_back([&store, &writing, w] {
            for (int slot = 0; slot < 100; slot++)
                for (uint16_t s = 1; s <= 8; s++)
                    store.add_event(
                        s, uint16_t(slot),
                        Stamp("2024-03-04T09:00:00Z") + Duration(slot * 1200.0 + w * 600),
                        Duration(1200), "w", "");
            writing--;
        });
    threads.emplace_back([&store] { store.remove_services("cap0"); });
    std::vector<EPGServiceListing> listing;
    do {
        listing.clear();
        store.get_listing({}, Stamp("2024-03-04T12:00:00Z"), Stamp("2024-03-05T18:00:00Z"),
                          listing);
        Gantry::XML::Element root("epg");
        store.build_document(root);
        for (const auto& l : listing)
            for (size_t i = 1; i < l.events.size(); i++)
                EXPECT_TRUE(l.events[i - 1].end() <= l.events[i].start) << l.events[i].id;
    } while (writing.load() > 0);
    for (std::thread& thread : threads)
        thread.join();
    listing.clear();
    store.get_all(listing);
    EXPECT_EQ(listing.size(), 4u);
}

}  // namespace
}  // namespace Corvid::Capture
