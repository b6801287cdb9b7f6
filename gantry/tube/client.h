// Tube::Client: a framed TCP connection kept up by two threads. The send thread writes queued
// messages; the receive thread reads frames into the receive queue, and reopens the connection
// whenever it fails or goes out of step. Each reopening after the first connection queues a
// marker (tag 0) for the reader, so that whoever reads learns that the peer may have forgotten
// its state.
//
// Losses: a message whose write fails is dropped; while the connection is down the send thread
// holds the next message until it comes back. Partial frames read are discarded. A length over
// MAX_LENGTH is taken, like an unknown tag, for a stream out of step: it is never allocated.
//
// Threading: send(), poll() and wait() from any thread; start() once; shutdown() from any
// thread, then delete from one that is not one of the client's own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/net/address.h"
#include "gantry/net/ssl.h"
#include "gantry/tube/frame.h"
#include "gantry/tube/queue.h"

namespace Gantry::Tube {

class ClientSendThread;
class ClientReceiveThread;

// Pauses of the reconnection logic; tests shorten them.
struct Options {
    // After a reopening failed.
    std::chrono::milliseconds reconnect_pause{10000};
    // After a read or write error, before reopening.
    std::chrono::milliseconds restart_wait{1000};
    // Seconds a connect may take.
    int connect_timeout = 5;
};

class Client {
  public:
    // name prefixes every log line. tls (not owned, may be null) makes the connection TLS.
    Client(const Net::EndPoint& server, std::string name, Options options = {},
           SSL::Context* tls = nullptr);
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Whether a frame with this tag belongs to the protocol; a frame that does not is taken for a
    // stream out of step, and the connection is reopened.
    virtual bool is_valid_tag(uint32_t tag);
    // A received message is waiting.
    virtual bool poll();
    // Blocks for the next received message; false for a marker (a reopening, or shutdown).
    virtual bool wait(Message& message);
    // Ends both threads and wakes every waiter; later wait() calls return false at once.
    virtual void shutdown();
    virtual ~Client();

    // Opens the connection and starts the threads. Not in the constructor: the receive thread
    // calls is_valid_tag(), which must reach the subclass.
    void start();

    // Queues a message for the send thread; a marker is not sent.
    void send(Message message);

    bool running() const { return running_.load(std::memory_order_acquire); }
    // A connection is open (as far as the last read or write could tell).
    bool connected() const GANTRY_EXCLUDES(socket_mutex_);
    const std::string& name() const { return name_; }
    const Net::EndPoint& server() const { return server_; }

  protected:
    // shutdown(), then waits for both threads to end. A subclass calls it first in its
    // destructor, since the receive thread calls is_valid_tag().
    void stop();

  private:
    friend class ClientSendThread;
    friend class ClientReceiveThread;
    using Socket = std::shared_ptr<Net::TCPSocket>;

    void receive_loop();
    bool receive_one();
    bool read_frame(const Socket& socket);
    // After a read or write error: waits, then reopens.
    bool restart(const Socket& failed, const char* side);
    void send_loop();
    bool write(const Socket& socket, const Message& message);
    // Replaces failed with a new connection; true at once if the other thread already did.
    bool reopen(const Socket& failed) GANTRY_EXCLUDES(socket_mutex_);
    Socket current() const GANTRY_EXCLUDES(socket_mutex_);
    // Sleeps up to pause; false (at once) when shut down.
    bool pause(std::chrono::milliseconds pause) GANTRY_EXCLUDES(pause_mutex_);

    const Net::EndPoint server_;
    const std::string name_;
    const Options options_;
    SSL::Context* const tls_;

    mutable MT::Mutex socket_mutex_;
    Socket socket_ GANTRY_GUARDED_BY(socket_mutex_);
    // Set by the first attempt to connect: every later one is a reopening.
    bool attempted_ GANTRY_GUARDED_BY(socket_mutex_) = false;

    MT::Mutex pause_mutex_;
    MT::Condition pause_changed_;

    Queue send_queue_;
    Queue receive_queue_;
    std::atomic<bool> running_{false};
    std::unique_ptr<ClientSendThread> send_thread_;
    std::unique_ptr<ClientReceiveThread> receive_thread_;
};

}  // namespace Gantry::Tube
