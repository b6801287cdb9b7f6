// Policies of Cache::Cache: which entries survive a tidy, and which entry to evict when a cache
// with a size limit is full. Both are asked under the cache's write lock.
#pragma once

#include <optional>
#include <vector>

namespace Gantry::Cache {

template <class ID, class T>
class TidyPolicy {
  public:
    // True to keep the entry.
    virtual bool keep(const ID& id, const T& object) = 0;
    virtual ~TidyPolicy() = default;
};

template <class ID, class T>
class NoTidyPolicy : public TidyPolicy<ID, T> {
  public:
    bool keep(const ID&, const T&) override { return true; }
};

// One entry as the evictor sees it; valid only during the call.
template <class ID, class T>
struct Candidate {
    const ID* id;
    const T* object;
};

template <class ID, class T>
class EvictorPolicy {
  public:
    // The entries in id order; the id of the entry to evict, or none to refuse.
    virtual std::optional<ID> choose_victim(const std::vector<Candidate<ID, T>>& entries) = 0;
    virtual ~EvictorPolicy() = default;
};

template <class ID, class T>
class NoEvictorPolicy : public EvictorPolicy<ID, T> {
  public:
    std::optional<ID> choose_victim(const std::vector<Candidate<ID, T>>&) override {
        return std::nullopt;
    }
};

}  // namespace Gantry::Cache
