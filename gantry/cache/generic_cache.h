// Cache::Cache: a thread-safe map from an id to owned content, ordered by the id's own
// less-than, with pluggable tidy and evictor policies and an optional size limit.
//
// Locking: lookup, size and iteration take the read lock; add, remove, clear, tidy and make room
// take the write lock, and content is destroyed while it is held. The lock is re-entrant for its
// writer, and the writer may also read, so a caller holding lock() for writing may call any
// operation (the capture registry looks an id up and removes it under one write lock), and an
// object's destructor may call back into its cache. An entry is always taken out of the map before
// its object is destroyed, so such calls see a consistent map without that entry.
//
// Objects returned by lookup() stay owned by the cache: use them only while holding the read (or
// write) lock if another thread may remove or replace them.
#pragma once

#include <cstddef>
#include <iterator>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "gantry/cache/policy.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/read_write_lock.h"

namespace Gantry::Cache {

template <class ID, class Content, class Tidy, class Evictor>
class Cache {
  public:
    using Object = typename Content::Object;
    using Holder = typename Content::Holder;
    using Entries = std::map<ID, Holder>;

    static_assert(std::is_base_of_v<TidyPolicy<ID, Object>, Tidy>,
                  "the tidy policy derives from Cache::TidyPolicy");
    static_assert(std::is_base_of_v<EvictorPolicy<ID, Object>, Evictor>,
                  "the evictor policy derives from Cache::EvictorPolicy");

    // maximum_size 0: no limit.
    explicit Cache(size_t maximum_size = 0, Tidy tidy = Tidy(), Evictor evictor = Evictor())
        : maximum_size_(maximum_size), tidy_(std::move(tidy)), evictor_(std::move(evictor)) {}

    // Destroys every object.
    virtual ~Cache() { clear_entries(); }

    Cache(const Cache&) = delete;
    Cache& operator=(const Cache&) = delete;

    // In one critical section under the write lock: takes out and destroys any object stored
    // under id, makes room if the cache is full, and stores object. The cache owns object from the
    // call on: if it is refused (null, or no room could be made) it is destroyed and add returns
    // false. Two threads adding under one id therefore end with exactly one of the objects stored
    // and the other destroyed, never both stored or either destroyed twice.
    bool add(const ID& id, Holder object) GANTRY_EXCLUDES(lock_) {
        MT::WriteGuard guard(lock_);
        if (!object) return false;
        {
            auto old = entries_.extract(id);  // destroyed at the end of this block
        }
        if (!make_room()) {
            object.reset();
            return false;
        }
        entries_.insert_or_assign(id, std::move(object));
        return true;
    }

    // The object stored under id, or null. See the note on ownership above.
    Object* lookup(const ID& id) const {
        MT::ReadGuard guard(lock_);
        auto found = entries_.find(id);
        return found == entries_.end() ? nullptr : Content::get(found->second);
    }

    bool contains(const ID& id) const { return lookup(id) != nullptr; }

    // Destroys the object stored under id, if any; true if there was one.
    virtual bool remove(const ID& id) {
        MT::WriteGuard guard(lock_);
        auto node = entries_.extract(id);
        return !node.empty();
    }

    // Destroys every object the tidy policy rejects.
    virtual void tidy() {
        MT::WriteGuard guard(lock_);
        std::vector<ID> rejected;
        for (const auto& [id, holder] : entries_) {
            if (!tidy_.keep(id, *Content::get(holder))) rejected.push_back(id);
        }
        for (const ID& id : rejected)
            entries_.extract(id);
    }

    // True if there is room for one more entry: always without a size limit; otherwise evicts
    // the evictor policy's choices until there is room, or returns false once it names none.
    virtual bool make_room() {
        MT::WriteGuard guard(lock_);
        while (maximum_size_ != 0 && entries_.size() >= maximum_size_) {
            std::vector<Candidate<ID, Object>> candidates;
            candidates.reserve(entries_.size());
            for (const auto& [id, holder] : entries_) {
                candidates.push_back({&id, Content::get(holder)});
            }
            auto victim = evictor_.choose_victim(candidates);
            if (!victim) return false;
            // An evictor naming an absent id would otherwise loop for ever.
            if (entries_.extract(*victim).empty()) return false;
        }
        return true;
    }

    // Destroys every object.
    virtual void clear() { clear_entries(); }

    size_t size() const {
        MT::ReadGuard guard(lock_);
        return entries_.size();
    }
    bool empty() const { return size() == 0; }
    size_t maximum_size() const { return maximum_size_; }

    // For callers that must hold the lock across several operations.
    MT::ReadWriteLock& lock() const GANTRY_RETURN_CAPABILITY(lock_) { return lock_; }

    // One entry during iteration.
    struct Item {
        const ID& id;
        Object* object;
    };

    // Holds the read lock for as long as it lives, and walks the entries in id order:
    //     Cache::ReadView view(cache);
    //     for (auto [id, object] : view) ...
    // The thread holding a view must not take the write lock (a reader cannot upgrade).
    class GANTRY_SCOPED_CAPABILITY ReadView {
      public:
        class iterator {
          public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = Item;
            using difference_type = std::ptrdiff_t;
            using pointer = void;
            using reference = Item;

            iterator() = default;
            explicit iterator(typename Entries::const_iterator at) : at_(at) {}
            Item operator*() const { return Item{at_->first, Content::get(at_->second)}; }
            iterator& operator++() {
                ++at_;
                return *this;
            }
            iterator operator++(int) {
                iterator before = *this;
                ++at_;
                return before;
            }
            bool operator==(const iterator&) const = default;

          private:
            typename Entries::const_iterator at_{};
        };

        explicit ReadView(const Cache& cache) GANTRY_ACQUIRE_SHARED(cache.lock_)
            : lock_(cache.lock_), entries_(cache.entries_unlocked()) {
            lock_.read_lock();
        }
        ~ReadView() GANTRY_RELEASE() { lock_.read_unlock(); }
        ReadView(const ReadView&) = delete;
        ReadView& operator=(const ReadView&) = delete;

        iterator begin() const { return iterator(entries_.begin()); }
        iterator end() const { return iterator(entries_.end()); }
        size_t size() const { return entries_.size(); }
        bool empty() const { return entries_.empty(); }
        Object* find(const ID& id) const {
            auto found = entries_.find(id);
            return found == entries_.end() ? nullptr : Content::get(found->second);
        }

      private:
        MT::ReadWriteLock& lock_;
        const Entries& entries_;
    };

    // Calls visit(id, object) for every entry in id order, under the read lock.
    template <class Visit>
    void for_each(Visit&& visit) const {
        ReadView view(*this);
        for (auto item : view)
            visit(item.id, *item.object);
    }

  private:
    // Only for binding ReadView's reference; ReadView reads it under the lock.
    const Entries& entries_unlocked() const GANTRY_NO_THREAD_SAFETY_ANALYSIS { return entries_; }

    void clear_entries() {
        MT::WriteGuard guard(lock_);
        Entries old;
        old.swap(entries_);
        old.clear();
    }

    const size_t maximum_size_;
    mutable MT::ReadWriteLock lock_;
    Entries entries_ GANTRY_GUARDED_BY(lock_);
    Tidy tidy_ GANTRY_GUARDED_BY(lock_);
    Evictor evictor_ GANTRY_GUARDED_BY(lock_);
};

}  // namespace Gantry::Cache
