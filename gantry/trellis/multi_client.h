// Trellis::MultiClient: the daemon's bus client. A dispatch thread reads every incoming message:
// replies (those with x:ref) go to the request waiting for them, everything else to a pool of
// 1 to max_workers worker threads, which hand it to each subscriber whose pattern matches its
// subject. When the connection restarts the server has forgotten the subscriptions, so the
// dispatch thread joins every pattern again.
//
// Requests: request() waits for the reply up to the request timeout; every pending request
// fails at once when the connection restarts (its reply would never come) or the client shuts
// down, so that no worker waits for ever.
//
// Threading: every public function from any thread; handlers run on the workers with no lock of
// the client held and may call send() and request(). The dispatch thread never waits for a
// worker.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/soap/message.h"
#include "gantry/trellis/client_transport.h"
#include "gantry/trellis/message.h"
#include "gantry/trellis/options.h"

namespace Gantry::Trellis {

class Subscriber;
class DispatchThread;
class MultiClientWorker;

class MultiClient {
  public:
    // Starts the dispatch thread and one worker.
    explicit MultiClient(std::unique_ptr<ClientTransport> transport, Options options = {});
    ~MultiClient();
    MultiClient(const MultiClient&) = delete;
    MultiClient& operator=(const MultiClient&) = delete;

    // Queues the message; false once shut down.
    bool send(const Message& message);
    // Sends with rsvp and waits for the reply; false ("Sending request failed", or the reason it
    // was abandoned) when none came.
    bool request(Message& message, std::unique_ptr<Message>& response);
    // request(), true only for a "trellis.ok" reply; a fault or anything else is logged.
    bool request_ack(Message& message);

    // Lists the subscriber and joins its pattern at the server ("Unable to subscribe for " and
    // the pattern if that fails; it is joined again after the next restart).
    void subscribe(Subscriber& subscriber);
    // Unlists it, waits until no worker is in its handle(), and leaves its pattern.
    void unsubscribe(Subscriber& subscriber);

    // Once: fails the pending requests, shuts the transport down and ends every thread.
    void shutdown();
    bool running() const { return running_.load(std::memory_order_acquire); }

    // Incoming messages are parsed with names in uri given this prefix.
    void map_namespace(const std::string& uri, const std::string& prefix);

    size_t worker_count() const;

  private:
    friend class DispatchThread;
    friend class MultiClientWorker;

    struct Waiter {
        MT::Condition changed;
        std::unique_ptr<Message> response;
        // Why the request was given up before its reply came; empty while it waits.
        const char* abandoned = nullptr;
    };

    void dispatch_loop();
    std::unique_ptr<Message> parse(const std::string& text) GANTRY_EXCLUDES(namespaces_mutex_);
    void dispatch(std::unique_ptr<Message> message) GANTRY_EXCLUDES(pending_mutex_, work_mutex_);
    void resubscribe();
    void fail_pending(const char* reason) GANTRY_EXCLUDES(pending_mutex_);
    void work() GANTRY_EXCLUDES(work_mutex_);
    void deliver(const Message& message) GANTRY_EXCLUDES(subscribers_mutex_);
    bool start_worker() GANTRY_REQUIRES(work_mutex_);

    const std::unique_ptr<ClientTransport> transport_;
    const Options options_;
    std::atomic<bool> running_{true};

    MT::Mutex namespaces_mutex_;
    SOAP::NamespaceMap namespaces_ GANTRY_GUARDED_BY(namespaces_mutex_);

    MT::Mutex pending_mutex_;
    std::map<std::string, Waiter*> pending_ GANTRY_GUARDED_BY(pending_mutex_);

    mutable MT::Mutex subscribers_mutex_;
    MT::Condition subscribers_changed_;
    std::vector<Subscriber*> subscribers_ GANTRY_GUARDED_BY(subscribers_mutex_);
    // Workers inside each subscriber's handle().
    std::map<Subscriber*, unsigned> in_use_ GANTRY_GUARDED_BY(subscribers_mutex_);

    mutable MT::Mutex work_mutex_;
    MT::Condition work_changed_;
    std::deque<std::unique_ptr<Message>> waiting_ GANTRY_GUARDED_BY(work_mutex_);
    std::vector<std::unique_ptr<MultiClientWorker>> workers_ GANTRY_GUARDED_BY(work_mutex_);
    // Workers not handling a message.
    size_t available_ GANTRY_GUARDED_BY(work_mutex_) = 0;
    bool stopping_ GANTRY_GUARDED_BY(work_mutex_) = false;

    std::unique_ptr<DispatchThread> dispatch_thread_;
};

}  // namespace Gantry::Trellis
