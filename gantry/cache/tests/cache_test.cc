#include "gantry/cache/cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace Cache = Gantry::Cache;

namespace {

std::string deaths;  // of Tracked objects, in order
struct Tracked {
    ~Tracked();
    std::string name;
    // Set: looks itself up from its destructor, as a registry entry's shutdown code may.
    const void* cache = nullptr;
};
// Tidying drops names starting with "old"; making room evicts the smallest id.
struct Policy : Cache::TidyPolicy<std::string, Tracked>,
                Cache::EvictorPolicy<std::string, Tracked> {
    bool keep(const std::string&, const Tracked& object) override { return object.name[0] != 'o'; }
    std::optional<std::string> choose_victim(
        const std::vector<Cache::Candidate<std::string, Tracked>>& entries) override {
        return *entries.front().id;
    }
};
using Registry = Cache::PointerCache<std::string, Tracked, Policy, Policy>;
Tracked::~Tracked() {
    deaths += cache && static_cast<const Registry*>(cache)->lookup(name) ? "stored! " : name + " ";
}

TEST(PointerCache, EachObjectIsDeletedOnceOutOfTheMapAndPoliciesMakeRoom) {
    {
        Registry cache(2);
        EXPECT_TRUE(cache.add("bbc1", new Tracked{"first"}));
        EXPECT_TRUE(cache.add("bbc1", new Tracked{"second"}));
        EXPECT_TRUE(cache.remove("bbc1"));
        EXPECT_FALSE(cache.add("null", nullptr));
        cache.add("1", new Tracked{"old"});
        cache.add("2", new Tracked{"new"});
        cache.tidy();
        cache.add("3", new Tracked{"three"});
        EXPECT_TRUE(cache.add("4", new Tracked{"four"})) << "room made by evicting 2";
        cache.remove("4");
        cache.clear();
        cache.add("7", new Tracked{"7", &cache});
        // Lookup and removal under one write lock, as the capture registry does; a deadlock fails.
        auto done = std::async(std::launch::async, [&] {
            Gantry::MT::WriteGuard guard(cache.lock());
            if (cache.lookup("7") != nullptr) cache.remove("7");
            cache.add("kept", new Tracked{"kept"});
        });
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "the write holder blocked";
        Cache::BasicPointerCache<std::string, Tracked> no_evictor(1);
        no_evictor.add("a", new Tracked{"a"});
        EXPECT_FALSE(no_evictor.add("b", new Tracked{"b"})) << "full";
        EXPECT_TRUE(no_evictor.add("a", new Tracked{"a2"})) << "a replacement needs no room";
    }
    EXPECT_EQ(deaths, "first second old new four three 7 b a a2 kept ");
}

struct Counted {
    static inline std::atomic<long> live{0};
    explicit Counted(int id) : id(id) { ++live; }
    ~Counted() { id = -1, --live; }
    int id;
};
// Every object ends up stored or deleted exactly once; readers only ever see live objects.
TEST(PointerCache, ConcurrentUseNeitherLeaksNorDoubleDeletes) {
    {
        Cache::BasicPointerCache<int, Counted> cache;
        std::atomic<long> bad{0};
        std::vector<std::future<void>> workers;
        for (int t = 0; t < 4; ++t)
            workers.push_back(std::async(std::launch::async, [&, t] {
                for (int i = 0; i < 5000; ++i) {
                    const int id = (i * 7 + t) % 8;
                    if (t == 3) {
                        cache.for_each([&](int key, const Counted& c) { bad += c.id != key; });
                    } else if (i % 5 == 4) {
                        t == 0 ? cache.clear() : (void)cache.remove(id);
                    } else {
                        cache.add(id, new Counted(id));
                    }
                }
            }));
        for (auto& worker : workers)
            ASSERT_EQ(worker.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        EXPECT_EQ(bad.load(), 0);
        EXPECT_EQ(Counted::live.load(), static_cast<long>(cache.size()));
    }
    EXPECT_EQ(Counted::live.load(), 0);
}

}  // namespace
