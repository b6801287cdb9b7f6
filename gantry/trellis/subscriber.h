// Trellis::Subscriber: receives the bus messages whose subject matches its pattern ('*' for any
// text), on the client's worker threads.
//
// Lifetime: connect() after construction (the workers may call handle() at once), disconnect()
// before destruction; destroying a connected subscriber aborts the process, since a worker could
// still be calling it.
#pragma once

#include <atomic>
#include <string>

#include "gantry/trellis/message.h"

namespace Gantry::Trellis {

class MultiClient;

class Subscriber {
  public:
    Subscriber(MultiClient& client, std::string pattern);
    virtual ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Called concurrently on the client's workers.
    virtual void handle(const Message& message) = 0;

    void connect();
    // Leaves the pattern and waits for the workers to leave handle(). Not from handle() itself.
    void disconnect();

    MultiClient& client() const { return client_; }
    const std::string& pattern() const { return pattern_; }

  private:
    MultiClient& client_;
    const std::string pattern_;
    std::atomic<bool> connected_{false};
};

}  // namespace Gantry::Trellis
