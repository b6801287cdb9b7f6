// Requests and faults per request name and transport, for /metrics: the service's broker makes
// its handlers through a registry whose factories wrap each handler in a counting one.
//
// A request counts once its transport has handed it to the handler; a fault is a request the
// handler refused. Requests refused by the transport itself (a wrong document name, unreadable
// XML) never reach a handler and are not counted.
//
// Threading: counting and reading may happen on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gantry/message/registry.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"

namespace Corvid::Capture {

class RequestCounts {
  public:
    struct Count {
        uint64_t requests = 0;
        uint64_t faults = 0;
    };
    using Key = std::pair<std::string, std::string>;  // request name, transport

    RequestCounts();
    ~RequestCounts();
    RequestCounts(const RequestCounts&) = delete;
    RequestCounts& operator=(const RequestCounts&) = delete;

    void add(const std::string& request, const std::string& transport, bool fault)
        GANTRY_EXCLUDES(mutex_);
    std::map<Key, Count> snapshot() const GANTRY_EXCLUDES(mutex_);

    // A registry holding, for each name the messages element gives that the global registry
    // knows, a factory whose handlers count here. The registry keeps pointers into this object.
    Gantry::Message::HandlerRegistry& wrap(const Gantry::Message::HandlerRegistry& global,
                                           const std::vector<std::string>& names);

  private:
    mutable Gantry::MT::Mutex mutex_;
    std::map<Key, Count> counts_ GANTRY_GUARDED_BY(mutex_);
    class CountingFactory;
    std::vector<std::unique_ptr<CountingFactory>> factories_;
    std::unique_ptr<Gantry::Message::HandlerRegistry> registry_;
};

}  // namespace Corvid::Capture
