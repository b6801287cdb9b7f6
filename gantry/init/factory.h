// Factories that make objects of a base type T from an argument of type A, and the registry that
// finds them by name.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Gantry::Init {

template <class T, class A>
class Factory {
  public:
    // A new object, or null if none can be made.
    virtual std::unique_ptr<T> create(A argument) = 0;
    virtual ~Factory() = default;
};

// Makes an S (derived from T) constructed from the argument.
template <class T, class S, class A>
class NewFactory : public Factory<T, A> {
    static_assert(std::is_base_of_v<T, S>, "NewFactory<T, S, A> needs S derived from T");

  public:
    std::unique_ptr<T> create(A argument) override {
        return std::make_unique<S>(std::forward<A>(argument));
    }
};

// Name to factory. The factories are not owned and must outlive the registry's use (the ones
// registered by AutoRegister live for the whole process).
template <class T, class A>
class Registry {
  public:
    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Inserts or replaces the factory for name. A null factory removes the name.
    void add(const std::string& name, Factory<T, A>* factory) GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        if (factory == nullptr) {
            factories_.erase(name);
        } else {
            factories_.insert_or_assign(name, factory);
        }
    }

    // The named factory's new object, or null (and nothing else happens) for an unknown name.
    std::unique_ptr<T> create(const std::string& name, A argument) const GANTRY_EXCLUDES(mutex_) {
        Factory<T, A>* factory = find(name);
        // Called without the lock: a factory may itself use the registry.
        if (factory == nullptr) return nullptr;
        return factory->create(std::forward<A>(argument));
    }

    Factory<T, A>* find(const std::string& name) const GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        auto found = factories_.find(name);
        return found == factories_.end() ? nullptr : found->second;
    }

    bool contains(const std::string& name) const { return find(name) != nullptr; }

    size_t size() const GANTRY_EXCLUDES(mutex_) {
        MT::Lock lock(mutex_);
        return factories_.size();
    }

  private:
    mutable MT::Mutex mutex_;
    std::map<std::string, Factory<T, A>*> factories_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Gantry::Init
