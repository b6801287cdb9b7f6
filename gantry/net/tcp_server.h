// A TCP server: an accept loop that hands each connection to a worker thread from a pool.
//
// Subclasses implement process() (the HTTP server does). The accept loop, run(), is normally
// driven by a TCPServerThread; each accepted connection is checked by verify(), wrapped in a socket
// by create_socket() and handed to process() on a pooled TCPWorkerThread.
//
// Stopping: shutdown() ends the accept loop (it shuts the listening socket down, which wakes the
// blocked accept), waits for run() to return, closes the listening socket and stops every worker:
// a worker busy with a connection has that connection shut down, so its reads end at once and
// process() returns. Nothing is cancelled as long as process() returns when its socket fails.
// A subclass whose process() uses its own members must call shutdown() first in its destructor.
//
// Threading: run() on one thread; shutdown(), interrupt() and the queries from any thread;
// process() concurrently on up to the pool's maximum of workers. shutdown() must not be called
// from within process().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "gantry/mt/annotations.h"
#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"
#include "gantry/mt/pool_thread.h"
#include "gantry/mt/thread.h"
#include "gantry/mt/thread_pool.h"
#include "gantry/net/tcp_socket.h"

namespace Gantry::Net {

class TCPServer;

// A pool worker serving one connection per kick.
class TCPWorkerThread : public MT::PoolThread {
  public:
    explicit TCPWorkerThread(MT::IPoolReplacer* replacer);
    ~TCPWorkerThread() override;

    // Gives the worker its next connection; call before kick(). The worker owns fd from here;
    // the server must outlive the job.
    void assign(TCPServer& server, int fd, const EndPoint& client) GANTRY_EXCLUDES(mutex_);

  protected:
    void run() override;
    // Shuts the connection in progress down, so that a blocked read returns at once.
    void wake() override GANTRY_EXCLUDES(mutex_);

  private:
    MT::Mutex mutex_;
    TCPServer* server_ GANTRY_GUARDED_BY(mutex_) = nullptr;
    int pending_fd_ GANTRY_GUARDED_BY(mutex_) = -1;
    EndPoint client_ GANTRY_GUARDED_BY(mutex_);
    // The descriptor process() is working on, for wake().
    int active_fd_ GANTRY_GUARDED_BY(mutex_) = -1;
};

class TCPServer : public TCPSocket {
  public:
    // Creates the listening socket (SO_REUSEADDR, bind, listen with the backlog); on any failure
    // the socket is closed and listening() is false. Port 0 lets the system choose (see port()).
    // The pool keeps minimum_spare idle workers (at least 1) and at most maximum_workers in all
    // (0: unbounded); the spares are created at once.
    TCPServer(IPAddress address, uint16_t port, int backlog = 5, unsigned minimum_spare = 1,
              unsigned maximum_workers = 10);
    ~TCPServer() override;

    bool listening() const { return listening_.load(std::memory_order_acquire); }
    // The bound end point (the port the system chose for port 0).
    EndPoint end_point() const { return end_point_; }
    uint16_t port() const { return end_point_.port(); }

    // The accept loop; returns after shutdown() or interrupt(), or at once if not listening.
    void run() GANTRY_EXCLUDES(run_mutex_);

    // Once effective; see the header comment. Safe to call from any thread but a worker's.
    void shutdown() GANTRY_EXCLUDES(run_mutex_);
    // Ends the accept loop without waiting for anything; shutdown() does the rest later.
    void interrupt();
    bool is_shut_down() const { return shut_down_.load(std::memory_order_acquire); }

    // Called by an idle connection that could give way: true, once per waiting client, when
    // every worker is busy and an accepted client waits for one. The caller that gets true
    // should close its connection, which frees its worker for that client.
    bool claim_waiting_client() { return waiting_client_.exchange(false); }

    // Workers currently serving connections, and idle ones.
    size_t busy_workers() const { return pool_.busy_count(); }
    size_t spare_workers() const { return pool_.spare_count(); }

  protected:
    // Whether to serve a client; a refused connection is closed at once.
    virtual bool verify(const EndPoint& client);
    // Serves one connection on a worker thread. The socket is closed when it returns.
    virtual void process(TCPSocket& socket, const EndPoint& client) = 0;
    // Wraps an accepted descriptor; null drops the connection (the caller closes fd).
    virtual std::unique_ptr<TCPSocket> create_socket(int fd);

  private:
    friend class TCPWorkerThread;

    EndPoint end_point_;
    std::atomic<bool> listening_{false};
    std::atomic<bool> shut_down_{false};
    std::atomic<bool> waiting_client_{false};

    MT::Mutex run_mutex_;
    MT::Condition run_finished_;
    bool running_ GANTRY_GUARDED_BY(run_mutex_) = false;

    MT::ThreadPool<TCPWorkerThread> pool_;
};

// Runs a server's accept loop on its own thread, from construction until destruction (or
// stop()), which ends the loop by interrupting the server. The server must outlive the thread.
class TCPServerThread final : public MT::Thread {
  public:
    explicit TCPServerThread(TCPServer& server);
    ~TCPServerThread() override;

  protected:
    void run() override;
    void wake() override;

  private:
    TCPServer& server_;
};

}  // namespace Gantry::Net
