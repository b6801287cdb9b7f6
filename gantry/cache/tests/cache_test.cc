#include "gantry/cache/cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Cache = Gantry::Cache;
namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

// Counts its own destructions by name, so that tests can tell which objects died and how often.
struct Tracked {
    using Deaths = std::map<std::string, int>;
    Tracked(Deaths& deaths, std::string name) : deaths(deaths), name(std::move(name)) {}
    ~Tracked() { ++deaths[name]; }
    Deaths& deaths;
    std::string name;
};

using Registry = Cache::BasicPointerCache<std::string, Tracked>;

TEST(PointerCache, ReplaceRemoveAndClearDeleteEachObjectExactlyOnce) {
    Tracked::Deaths deaths;
    {
        Registry cache;
        EXPECT_TRUE(cache.add("bbc1", new Tracked(deaths, "first")));
        EXPECT_TRUE(cache.add("bbc1", new Tracked(deaths, "second")));
        EXPECT_EQ(deaths, (Tracked::Deaths{{"first", 1}})) << "replacing deletes the old object";
        EXPECT_EQ(cache.lookup("bbc1")->name, "second");
        EXPECT_TRUE(cache.remove("bbc1"));
        EXPECT_FALSE(cache.remove("bbc1"));
        EXPECT_FALSE(cache.add("null", nullptr));
        for (const char* name : {"a", "b"})
            cache.add(name, new Tracked(deaths, name));
        cache.clear();
        cache.clear();
        cache.add("kept", new Tracked(deaths, "kept"));
    }
    EXPECT_EQ(deaths,
              (Tracked::Deaths{{"first", 1}, {"second", 1}, {"a", 1}, {"b", 1}, {"kept", 1}}))
        << "each deleted once; the destructor clears too";
}

// Looks itself up from its destructor, as a registry entry's shutdown code may.
struct SelfChecking {
    using Owner = Cache::BasicPointerCache<int, SelfChecking>;
    SelfChecking(Owner& cache, bool& saw_self) : cache(cache), saw_self(saw_self) {}
    ~SelfChecking() { saw_self = cache.lookup(7) != nullptr; }
    Owner& cache;
    bool& saw_self;
};

// The capture registry looks an id up and removes it under one write lock. Each step runs in its
// own thread so that a self-deadlock fails instead of hanging the suite.
TEST(PointerCache, TheWriteHolderMayLookUpAndRemoveAndEntriesLeaveBeforeTheirObjectDies) {
    SelfChecking::Owner cache;
    bool saw_self = true;
    cache.add(7, new SelfChecking(cache, saw_self));
    cache.add(8, new SelfChecking(cache, saw_self));
    auto done = std::async(std::launch::async, [&] {
        MT::WriteGuard guard(cache.lock());
        if (cache.lookup(7) != nullptr) cache.remove(7);
        cache.add(9, new SelfChecking(cache, saw_self));
    });
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "the write holder blocked";
    EXPECT_FALSE(saw_self) << "the object was still in the map while it was deleted";
    EXPECT_EQ(cache.size(), 2u);
}

// Rejects names starting with "old" when tidying; evicts the smallest id when full.
struct DropOld : Cache::TidyPolicy<std::string, Tracked> {
    bool keep(const std::string&, const Tracked& object) override {
        return object.name.rfind("old", 0) != 0;
    }
};
struct EvictFirst : Cache::EvictorPolicy<std::string, Tracked> {
    std::optional<std::string> choose_victim(
        const std::vector<Cache::Candidate<std::string, Tracked>>& entries) override {
        return *entries.front().id;
    }
};

TEST(PointerCache, PoliciesTidyAndEvictAndAFullCacheWithoutAnEvictorRefusesNewIds) {
    Tracked::Deaths deaths;
    Cache::PointerCache<std::string, Tracked, DropOld, EvictFirst> cache(2);
    cache.add("1", new Tracked(deaths, "old one"));
    cache.add("2", new Tracked(deaths, "new"));
    cache.tidy();
    EXPECT_EQ(deaths["old one"], 1);
    EXPECT_TRUE(cache.add("3", new Tracked(deaths, "three")));
    EXPECT_TRUE(cache.add("4", new Tracked(deaths, "four")));
    EXPECT_EQ(deaths["new"], 1) << "the evictor's choice, id 2, goes";
    EXPECT_NE(cache.lookup("3"), nullptr);

    Registry full(2);
    full.add("a", new Tracked(deaths, "a"));
    full.add("b", new Tracked(deaths, "old b"));
    full.tidy();  // the no-op policy keeps everything
    EXPECT_FALSE(full.add("c", new Tracked(deaths, "c")));
    EXPECT_EQ(deaths["c"], 1) << "a refused object is deleted, not leaked";
    EXPECT_TRUE(full.add("a", new Tracked(deaths, "a2"))) << "a replacement needs no room";
    EXPECT_EQ(full.size(), 2u);
}

// Many threads add, replace, remove and read the same few ids at once. Every object must end up
// either stored or deleted exactly once, and readers must only ever see live objects.
struct Counted {
    static inline std::atomic<long> live{0};
    explicit Counted(int id) : id(id) { ++live; }
    ~Counted() {
        magic = 0;
        --live;
    }
    int id;
    uint32_t magic = 0xC0FFEE;
};

TEST(PointerCache, ConcurrentAddsLookupsAndRemovesNeitherLeakNorDoubleDelete) {
    const long live_before = Counted::live.load();
    {
        Cache::BasicPointerCache<int, Counted> cache;
        constexpr int kIds = 8, kRounds = 5000;
        std::atomic<long> bad_reads{0};
        std::vector<std::future<void>> workers;
        MT::Event go;  // starts every thread at once, so that their work overlaps
        auto spawn = [&](auto body) {
            workers.push_back(std::async(std::launch::async, [&go, body] {
                go.wait_for(10s);
                for (int i = 0; i < kRounds; ++i)
                    body(i);
            }));
        };
        auto check = [&](int id, const Counted* object) {
            if (object != nullptr && (object->id != id || object->magic != 0xC0FFEE)) ++bad_reads;
        };
        for (int t = 0; t < 3; ++t) {
            spawn([&, t](int i) {
                const int id = (i * 7 + t) % kIds;
                if (i % 5 == 4) {
                    cache.remove(id);
                } else if (t == 0 && i % 500 == 499) {
                    cache.clear();
                } else {
                    cache.add(id, new Counted(id));
                }
            });
        }
        spawn([&](int i) {
            MT::ReadGuard guard(cache.lock());
            check(i % kIds, cache.lookup(i % kIds));
        });
        spawn([&](int) {
            {
                decltype(cache)::ReadView view(cache);
                for (auto [id, object] : view)
                    check(id, object);
            }
            cache.for_each([&](int id, const Counted& object) { check(id, &object); });
        });
        // Queries made without holding the lock must take it themselves.
        spawn([&](int i) {
            if (cache.size() > kIds) ++bad_reads;
            cache.contains(i % kIds);
        });
        go.set();
        for (auto& worker : workers)
            ASSERT_EQ(worker.wait_for(120s), std::future_status::ready);
        EXPECT_EQ(bad_reads.load(), 0);
        EXPECT_EQ(Counted::live.load() - live_before, static_cast<long>(cache.size()))
            << "objects leaked or were deleted while still stored";
    }
    EXPECT_EQ(Counted::live.load(), live_before);
}

}  // namespace
