// Content kind of Cache::Cache for owned objects: an entry holds the only owning pointer, so the
// object is deleted when its entry goes.
#pragma once

#include <memory>

namespace Gantry::Cache {

template <class T>
struct PointerContent {
    using Object = T;
    using Holder = std::unique_ptr<T>;
    static T* get(const Holder& holder) { return holder.get(); }
};

}  // namespace Gantry::Cache
