#include "gantry/cache/cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Cache = Gantry::Cache;
namespace MT = Gantry::MT;
using namespace std::chrono_literals;

namespace {

// Records every destruction, so that tests can tell which objects died and how often.
class Ledger {
  public:
    void died(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++deaths_[name];
        ++total_;
    }
    int deaths(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = deaths_.find(name);
        return found == deaths_.end() ? 0 : found->second;
    }
    int total() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return total_;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, int> deaths_;
    int total_ = 0;
};

struct Tracked {
    Tracked(Ledger& ledger, std::string name) : ledger(ledger), name(std::move(name)) {}
    ~Tracked() { ledger.died(name); }
    Ledger& ledger;
    std::string name;
};

using Registry = Cache::BasicPointerCache<std::string, Tracked>;

TEST(PointerCache, AddingTwiceUnderOneIdKeepsTheSecondAndDeletesTheFirst) {
    Ledger ledger;
    Registry cache;
    auto* first = new Tracked(ledger, "first");
    auto* second = new Tracked(ledger, "second");
    EXPECT_TRUE(cache.add("bbc1", first));
    EXPECT_TRUE(cache.add("bbc1", second));
    EXPECT_EQ(ledger.deaths("first"), 1);
    EXPECT_EQ(ledger.deaths("second"), 0);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.lookup("bbc1"), second);
}

TEST(PointerCache, RemoveDeletesOnceAndIgnoresAnAbsentId) {
    Ledger ledger;
    Registry cache;
    cache.add("a", new Tracked(ledger, "a"));
    EXPECT_FALSE(cache.remove("absent"));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(ledger.total(), 0);
    EXPECT_TRUE(cache.remove("a"));
    EXPECT_FALSE(cache.remove("a"));
    EXPECT_EQ(ledger.deaths("a"), 1);
    EXPECT_EQ(cache.lookup("a"), nullptr);
    EXPECT_TRUE(cache.empty());
}

TEST(PointerCache, ClearAndDestructorDeleteEveryObjectExactlyOnce) {
    Ledger ledger;
    {
        Registry cache;
        for (const char* name : {"x", "y", "z"})
            cache.add(name, new Tracked(ledger, name));
        cache.clear();
        EXPECT_TRUE(cache.empty());
        for (const char* name : {"x", "y", "z"})
            EXPECT_EQ(ledger.deaths(name), 1) << name;
        cache.clear();
        EXPECT_EQ(ledger.total(), 3);
        cache.add("kept", new Tracked(ledger, "kept"));
    }
    EXPECT_EQ(ledger.deaths("kept"), 1) << "the destructor clears";
    EXPECT_EQ(ledger.total(), 4);
}

TEST(PointerCache, NullObjectsAreRefused) {
    Registry cache;
    EXPECT_FALSE(cache.add("a", nullptr));
    EXPECT_FALSE(cache.contains("a"));
}

TEST(PointerCache, WithoutALimitAnyNumberOfEntriesIsAccepted) {
    Ledger ledger;
    Registry cache;
    EXPECT_EQ(cache.maximum_size(), 0u);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(cache.add(std::to_string(i), new Tracked(ledger, "n")));
    }
    EXPECT_EQ(cache.size(), 1000u);
}

TEST(PointerCache, IterationFollowsTheIdsOwnOrder) {
    Ledger ledger;
    Registry text;
    for (const char* name : {"b", "B", "a", "ab"})
        text.add(name, new Tracked(ledger, name));
    std::vector<std::string> order;
    {
        Registry::ReadView view(text);
        EXPECT_EQ(view.size(), 4u);
        for (auto [id, object] : view) {
            EXPECT_EQ(id, object->name);
            order.push_back(id);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"B", "a", "ab", "b"})) << "byte-wise for text";

    Cache::BasicPointerCache<uint16_t, Tracked> numeric;
    for (uint16_t sid : {10, 2, 0x1001})
        numeric.add(sid, new Tracked(ledger, "s"));
    std::vector<uint16_t> sids;
    numeric.for_each([&](uint16_t sid, Tracked&) { sids.push_back(sid); });
    EXPECT_EQ(sids, (std::vector<uint16_t>{2, 10, 0x1001})) << "numeric for service ids";
}

TEST(PointerCache, TheWriteHolderMayLookUpAndRemove) {
    Ledger ledger;
    Registry cache;
    cache.add("a", new Tracked(ledger, "a"));
    // In its own thread so that a self-deadlock fails instead of hanging the suite.
    auto done = std::async(std::launch::async, [&] {
        MT::WriteGuard guard(cache.lock());
        if (cache.lookup("a") != nullptr) cache.remove("a");
        cache.add("b", new Tracked(ledger, "b"));
        return cache.size();
    });
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "the write holder blocked";
    EXPECT_EQ(done.get(), 1u);
    EXPECT_EQ(ledger.deaths("a"), 1);
}

// Looks itself up from its destructor, as a registry entry's shutdown code may.
struct SelfChecking {
    SelfChecking(Cache::BasicPointerCache<int, SelfChecking>& cache, int id, bool& saw_self)
        : cache(cache), id(id), saw_self(saw_self) {}
    ~SelfChecking() { saw_self = cache.lookup(id) != nullptr; }
    Cache::BasicPointerCache<int, SelfChecking>& cache;
    int id;
    bool& saw_self;
};

TEST(PointerCache, AnObjectIsOutOfTheMapBeforeItsDestructorRuns) {
    Cache::BasicPointerCache<int, SelfChecking> cache;
    bool saw_self = true;
    cache.add(7, new SelfChecking(cache, 7, saw_self));
    auto done = std::async(std::launch::async, [&] { cache.remove(7); });
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(saw_self);
}

// Keeps entries whose name does not start with "old".
class DropOld : public Cache::TidyPolicy<std::string, Tracked> {
  public:
    bool keep(const std::string&, const Tracked& object) override {
        return object.name.rfind("old", 0) != 0;
    }
};

TEST(PointerCache, TidyRemovesWhatThePolicyRejects) {
    Ledger ledger;
    Cache::PointerCache<std::string, Tracked, DropOld, Cache::NoEvictorPolicy<std::string, Tracked>>
        cache;
    cache.add("1", new Tracked(ledger, "old one"));
    cache.add("2", new Tracked(ledger, "new"));
    cache.add("3", new Tracked(ledger, "old two"));
    cache.tidy();
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_NE(cache.lookup("2"), nullptr);
    EXPECT_EQ(ledger.deaths("old one"), 1);
    EXPECT_EQ(ledger.deaths("old two"), 1);

    Registry keeps_all;
    keeps_all.add("1", new Tracked(ledger, "old three"));
    keeps_all.tidy();
    EXPECT_EQ(keeps_all.size(), 1u);
}

// Evicts the entry with the smallest id.
class EvictFirst : public Cache::EvictorPolicy<std::string, Tracked> {
  public:
    std::optional<std::string> choose_victim(
        const std::vector<Cache::Candidate<std::string, Tracked>>& entries) override {
        if (entries.empty()) return std::nullopt;
        return *entries.front().id;
    }
};

TEST(PointerCache, AFullCacheWithoutAnEvictorRefusesNewIdsButAcceptsReplacements) {
    Ledger ledger;
    Registry cache(2);
    EXPECT_TRUE(cache.add("a", new Tracked(ledger, "a")));
    EXPECT_TRUE(cache.add("b", new Tracked(ledger, "b")));
    EXPECT_FALSE(cache.add("c", new Tracked(ledger, "c")));
    EXPECT_EQ(ledger.deaths("c"), 1) << "a refused object is deleted, not leaked";
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.lookup("c"), nullptr);
    EXPECT_TRUE(cache.add("a", new Tracked(ledger, "a2")));
    EXPECT_EQ(cache.lookup("a")->name, "a2");
    EXPECT_EQ(ledger.deaths("a"), 1);
}

TEST(PointerCache, AFullCacheEvictsTheEvictorsChoice) {
    Ledger ledger;
    Cache::PointerCache<std::string, Tracked, Cache::NoTidyPolicy<std::string, Tracked>, EvictFirst>
        cache(2);
    cache.add("m", new Tracked(ledger, "m"));
    cache.add("k", new Tracked(ledger, "k"));
    EXPECT_TRUE(cache.add("z", new Tracked(ledger, "z")));
    EXPECT_EQ(ledger.deaths("k"), 1);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_NE(cache.lookup("m"), nullptr);
    EXPECT_NE(cache.lookup("z"), nullptr);
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
        constexpr int kIds = 8;
        constexpr int kRounds = 5000;
        std::atomic<long> bad_reads{0};
        std::atomic<long> seen{0};  // how often an id was present: varies, not checked
        std::vector<std::future<void>> workers;
        MT::Event go;  // starts every thread at once, so that their work overlaps
        for (int t = 0; t < 3; ++t) {
            workers.push_back(std::async(std::launch::async, [&, t] {
                go.wait_for(10s);
                for (int i = 0; i < kRounds; ++i) {
                    const int id = (i * 7 + t) % kIds;
                    if (i % 5 == 4) {
                        cache.remove(id);
                    } else if (t == 0 && i % 500 == 499) {
                        cache.clear();
                    } else {
                        cache.add(id, new Counted(id));
                    }
                }
            }));
        }
        for (int t = 0; t < 2; ++t) {
            workers.push_back(std::async(std::launch::async, [&] {
                go.wait_for(10s);
                for (int i = 0; i < kRounds; ++i) {
                    MT::ReadGuard guard(cache.lock());
                    Counted* found = cache.lookup(i % kIds);
                    if (found != nullptr && (found->id != i % kIds || found->magic != 0xC0FFEE))
                        ++bad_reads;
                }
            }));
        }
        workers.push_back(std::async(std::launch::async, [&] {
            go.wait_for(10s);
            for (int i = 0; i < kRounds; ++i) {
                decltype(cache)::ReadView view(cache);
                for (auto [id, object] : view) {
                    if (object->id != id || object->magic != 0xC0FFEE) ++bad_reads;
                }
            }
        }));
        workers.push_back(std::async(std::launch::async, [&] {
            go.wait_for(10s);
            // Queries made without holding the lock must take it themselves.
            for (int i = 0; i < kRounds; ++i) {
                if (cache.size() > kIds) ++bad_reads;
                if (cache.contains(i % kIds)) ++seen;
            }
        }));
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
