#include "gantry/trellis/multi_client.h"

#include <algorithm>
#include <exception>
#include <sstream>
#include <utility>

#include "gantry/log/stream.h"
#include "gantry/mt/thread.h"
#include "gantry/soap/fault.h"
#include "gantry/text/text.h"
#include "gantry/trellis/namespaces.h"
#include "gantry/trellis/subscriber.h"

namespace Gantry::Trellis {

// Ends when the transport's wait() gives up after shutdown.
class DispatchThread : public MT::Thread {
  public:
    explicit DispatchThread(MultiClient& client) : client_(client) {}
    ~DispatchThread() override { stop(); }

  private:
    void run() override { client_.dispatch_loop(); }
    MultiClient& client_;
};

// Ends when the client stops; a handler in a request() is released by the pending requests
// failing at shutdown.
class MultiClientWorker : public MT::Thread {
  public:
    explicit MultiClientWorker(MultiClient& client) : client_(client) {}
    ~MultiClientWorker() override { stop(); }

  private:
    void run() override { client_.work(); }
    MultiClient& client_;
};

namespace {

std::unique_ptr<Message> subscription(const char* subject, const char* element,
                                      const std::string& pattern) {
    auto body = std::make_unique<XML::Element>(element);
    body->set_attr("subject", pattern);
    return std::make_unique<Message>(subject, std::move(body), true);
}

}  // namespace

MultiClient::MultiClient(std::unique_ptr<ClientTransport> transport, Options options)
    : transport_(std::move(transport)), options_(options) {
    {
        MT::Lock lock(work_mutex_);
        start_worker();
    }
    dispatch_thread_ = std::make_unique<DispatchThread>(*this);
    dispatch_thread_->start();
}

MultiClient::~MultiClient() {
    shutdown();
}

void MultiClient::shutdown() {
    if (!running_.exchange(false)) return;
    fail_pending("client shut down");
    transport_->shutdown();
    dispatch_thread_.reset();
    std::vector<std::unique_ptr<MultiClientWorker>> workers;
    {
        MT::Lock lock(work_mutex_);
        stopping_ = true;
        work_changed_.broadcast();
        workers.swap(workers_);
        waiting_.clear();
    }
    workers.clear();
}

void MultiClient::map_namespace(const std::string& uri, const std::string& prefix) {
    MT::Lock lock(namespaces_mutex_);
    namespaces_[uri] = prefix;
}

size_t MultiClient::worker_count() const {
    MT::Lock lock(work_mutex_);
    return workers_.size();
}

bool MultiClient::send(const Message& message) {
    return running() && transport_->send(message.to_string());
}

bool MultiClient::request(Message& message, std::unique_ptr<Message>& response) {
    message.set_rsvp(true);
    const std::string id = message.id();
    Waiter waiter;
    {
        MT::Lock lock(pending_mutex_);
        if (!running()) return false;
        pending_[id] = &waiter;
    }
    // Nothing would answer before the connection comes back, and then the request fails anyway.
    if (!transport_->connected() || !send(message)) {
        MT::Lock lock(pending_mutex_);
        pending_.erase(id);
        Log::Error() << "Sending request failed" << std::endl;
        return false;
    }
    MT::Lock lock(pending_mutex_);
    const auto deadline = MT::Condition::deadline_after(options_.request_timeout);
    while (!waiter.response && !waiter.abandoned &&
           waiter.changed.wait_until(pending_mutex_, deadline)) {
    }
    pending_.erase(id);
    if (!waiter.response) {
        Log::Error() << "Request for " << message.subject()
                     << " failed: " << (waiter.abandoned ? waiter.abandoned : "timed out")
                     << std::endl;
        return false;
    }
    response = std::move(waiter.response);
    return true;
}

bool MultiClient::request_ack(Message& message) {
    std::unique_ptr<Message> response;
    if (!request(message, response)) return false;
    if (response->subject() == SUBJECT_OK) return true;
    const XML::Element& fault = response->fault_element();
    if (&fault != &XML::Element::none) {
        Log::Error() << "SOAP Fault: " << SOAP::Fault::reason_of(fault) << " ("
                     << SOAP::Fault::code_name(SOAP::Fault::code_of(fault)) << ")" << std::endl;
    } else {
        Log::Error() << "Weird response received:\n" << response->to_string() << std::endl;
    }
    return false;
}

void MultiClient::fail_pending(const char* reason) {
    MT::Lock lock(pending_mutex_);
    for (auto& [id, waiter] : pending_) {
        waiter->abandoned = reason;
        waiter->changed.signal();
    }
    pending_.clear();
}

void MultiClient::subscribe(Subscriber& subscriber) {
    {
        MT::Lock lock(subscribers_mutex_);
        subscribers_.push_back(&subscriber);
    }
    auto join = subscription(SUBJECT_JOIN, "x:join", subscriber.pattern());
    if (!request_ack(*join))
        Log::Error() << "Unable to subscribe for " << subscriber.pattern() << std::endl;
}

void MultiClient::unsubscribe(Subscriber& subscriber) {
    {
        MT::Lock lock(subscribers_mutex_);
        std::erase(subscribers_, &subscriber);
        while (in_use_.count(&subscriber) != 0)
            subscribers_changed_.wait(subscribers_mutex_);
    }
    auto leave = subscription(SUBJECT_LEAVE, "x:leave", subscriber.pattern());
    if (!request_ack(*leave))
        Log::Error() << "Unable to unsubscribe for " << subscriber.pattern() << std::endl;
}

std::unique_ptr<Message> MultiClient::parse(const std::string& text) {
    SOAP::NamespaceMap namespaces;
    {
        MT::Lock lock(namespaces_mutex_);
        namespaces = namespaces_;
    }
    std::ostringstream errors;
    auto message = Message::parse(text, errors, namespaces);
    if (!message) {
        Log::Error() << "Trellis:: Can't parse incoming SOAP message" << std::endl;
        Log::Detail() << errors.str() << std::flush;
    }
    return message;
}

void MultiClient::dispatch_loop() {
    for (;;) {
        std::string text;
        if (transport_->wait(text)) {
            if (auto message = parse(text)) dispatch(std::move(message));
            continue;
        }
        if (!running()) return;
        fail_pending("connection restarted");
        Log::Summary() << "Transport restarted - resubscribing" << std::endl;
        resubscribe();
    }
}

void MultiClient::dispatch(std::unique_ptr<Message> message) {
    const std::string ref = message->ref();
    if (!ref.empty()) {
        MT::Lock lock(pending_mutex_);
        auto found = pending_.find(ref);
        if (found != pending_.end()) {
            found->second->response = std::move(message);
            found->second->changed.signal();
        } else {
            Log::Error() << "Response with unknown ref ignored: " << ref << std::endl;
        }
        return;
    }
    MT::Lock lock(work_mutex_);
    if (available_ <= waiting_.size() && !start_worker()) {
        Log::Error() << "Trellis client has no spare workers - '" << message->subject()
                     << "' message queued" << std::endl;
    }
    waiting_.push_back(std::move(message));
    work_changed_.signal();
}

bool MultiClient::start_worker() {
    if (stopping_ || workers_.size() >= std::max(options_.max_workers, 1u)) return false;
    auto worker = std::make_unique<MultiClientWorker>(*this);
    if (!worker->start()) return false;
    workers_.push_back(std::move(worker));
    ++available_;
    return true;
}

void MultiClient::resubscribe() {
    for (bool again = true; again && running();) {
        again = false;
        std::vector<std::string> patterns;
        {
            MT::Lock lock(subscribers_mutex_);
            for (Subscriber* subscriber : subscribers_)
                patterns.push_back(subscriber->pattern());
        }
        for (const std::string& pattern : patterns) {
            auto join = subscription(SUBJECT_JOIN, "x:join", pattern);
            if (!send(*join)) return;
            std::unique_ptr<Message> reply;
            for (std::string text; !reply;) {
                if (!transport_->wait(text)) break;
                auto message = parse(text);
                if (message && message->ref() == join->id()) {
                    reply = std::move(message);
                } else if (message) {
                    dispatch(std::move(message));
                }
            }
            if (!reply) {
                if (!running()) return;
                fail_pending("connection restarted");
                Log::Error() << "Transport failed during resubscribe - retrying" << std::endl;
                again = true;
                break;
            }
            if (reply->subject() != SUBJECT_OK)
                Log::Error() << "Error response to resubscribe:\n"
                             << reply->to_string() << std::endl;
        }
    }
}

void MultiClient::work() {
    for (;;) {
        std::unique_ptr<Message> message;
        {
            MT::Lock lock(work_mutex_);
            while (waiting_.empty() && !stopping_)
                work_changed_.wait(work_mutex_);
            if (stopping_) return;
            message = std::move(waiting_.front());
            waiting_.pop_front();
            --available_;
        }
        deliver(*message);
        MT::Lock lock(work_mutex_);
        ++available_;
    }
}

void MultiClient::deliver(const Message& message) {
    const std::string subject = message.subject();
    std::vector<Subscriber*> matched;
    {
        MT::Lock lock(subscribers_mutex_);
        for (Subscriber* subscriber : subscribers_) {
            if (Text::wildcard_match(subscriber->pattern(), subject)) {
                matched.push_back(subscriber);
                ++in_use_[subscriber];
            }
        }
    }
    if (matched.empty()) {
        Log::Error() << "Unhandled message received with subject " << subject << std::endl;
        return;
    }
    for (Subscriber* subscriber : matched) {
        try {
            subscriber->handle(message);
        } catch (const std::exception& error) {
            Log::Error() << "Trellis subscriber for " << subscriber->pattern()
                         << " failed: " << error.what() << std::endl;
        }
        MT::Lock lock(subscribers_mutex_);
        if (--in_use_[subscriber] == 0) {
            in_use_.erase(subscriber);
            subscribers_changed_.broadcast();
        }
    }
}

}  // namespace Gantry::Trellis
