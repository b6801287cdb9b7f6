// Caches of owned pointers: the form the program uses for its registries.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "gantry/cache/generic_cache.h"
#include "gantry/cache/pointer_content.h"
#include "gantry/cache/policy.h"

namespace Gantry::Cache {

template <class ID, class T, class Tidy, class Evictor>
class PointerCache : public Cache<ID, PointerContent<T>, Tidy, Evictor> {
    using Base = Cache<ID, PointerContent<T>, Tidy, Evictor>;

  public:
    using Base::add;
    using Base::Base;

    // Takes ownership of object whatever the outcome (see Cache::add).
    bool add(const ID& id, T* object) { return Base::add(id, std::unique_ptr<T>(object)); }
};

// No tidying, no eviction; with the default maximum size of 0 it accepts any number of entries.
template <class ID, class T>
class BasicPointerCache : public PointerCache<ID, T, NoTidyPolicy<ID, T>, NoEvictorPolicy<ID, T>> {
    using Base = PointerCache<ID, T, NoTidyPolicy<ID, T>, NoEvictorPolicy<ID, T>>;

  public:
    using Base::Base;
};

}  // namespace Gantry::Cache
