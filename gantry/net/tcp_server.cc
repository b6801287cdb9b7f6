#include "gantry/net/tcp_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace Gantry::Net {

namespace {
// Pause after an accept failure that retrying at once cannot cure (out of descriptors or memory).
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(10);
// How often a loop waiting for a free worker checks for shutdown.
constexpr auto TAKE_SLICE = std::chrono::milliseconds(20);
}  // namespace

TCPWorkerThread::TCPWorkerThread(MT::IPoolReplacer* replacer) : MT::PoolThread(replacer) {}

TCPWorkerThread::~TCPWorkerThread() {
    // The job uses this object's members: stop it before they go.
    kill(true);
    MT::Lock lock(mutex_);
    if (pending_fd_ != -1) ::close(pending_fd_);
}

void TCPWorkerThread::assign(TCPServer& server, int fd, const EndPoint& client) {
    MT::Lock lock(mutex_);
    server_ = &server;
    pending_fd_ = fd;
    client_ = client;
}

void TCPWorkerThread::run() {
    int fd;
    EndPoint client;
    TCPServer* server;
    {
        MT::Lock lock(mutex_);
        server = server_;
        fd = pending_fd_;
        client = client_;
        pending_fd_ = -1;
    }
    if (fd == -1 || !server) return;
    std::unique_ptr<TCPSocket> socket = server->create_socket(fd);
    if (!socket) {
        ::close(fd);
        return;
    }
    {
        // A stop requested before this point found no connection to shut down; checking here,
        // under the same lock wake() takes, means it is never missed.
        MT::Lock lock(mutex_);
        if (stop_requested()) return;
        active_fd_ = socket->fd();
    }
    server->process(*socket, client);
    MT::Lock lock(mutex_);
    active_fd_ = -1;
}

void TCPWorkerThread::wake() {
    MT::Lock lock(mutex_);
    if (active_fd_ != -1) ::shutdown(active_fd_, SHUT_RDWR);
}

TCPServer::TCPServer(IPAddress address, uint16_t port, int backlog, unsigned minimum_spare,
                     unsigned maximum_workers)
    : pool_(minimum_spare, maximum_workers) {
    if (!valid()) return;
    if (!enable_reuse() || !bind(address, port) || ::listen(fd(), backlog) != 0) {
        close();
        return;
    }
    end_point_ = local_end_point();
    listening_.store(true, std::memory_order_release);
    // Fill the spare list now rather than on the first connection.
    if (TCPWorkerThread* worker = pool_.take_for(std::chrono::milliseconds(0)))
        pool_.give_back(worker);
}

TCPServer::~TCPServer() {
    shutdown();
}

bool TCPServer::verify(const EndPoint&) {
    return true;
}

std::unique_ptr<TCPSocket> TCPServer::create_socket(int fd) {
    return std::make_unique<TCPSocket>(fd);
}

void TCPServer::run() {
    {
        MT::Lock lock(run_mutex_);
        if (running_ || is_shut_down() || !listening()) return;
        running_ = true;
    }
    const int listen_fd = fd();
    while (!is_shut_down()) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int connection =
            ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (connection < 0) {
            if (is_shut_down()) break;
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EINVAL || errno == EBADF || errno == ENOTSOCK) break;
            // EMFILE, ENFILE, ENOBUFS, ENOMEM: retrying at once would only spin.
            MT::Lock lock(run_mutex_);
            run_finished_.wait_for(run_mutex_, ACCEPT_RETRY_PAUSE);
            continue;
        }
        const EndPoint client(peer);
        // Whole responses are written at once; Nagle would only delay pipelined ones.
        const int on = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        TCPWorkerThread* worker = pool_.take_for(std::chrono::milliseconds(0));
        if (!worker) {
            // Every worker is busy: let an idle connection give way to this client. The wait is
            // sliced so that a shutdown, which must find this loop finished before it stops the
            // pool, is seen.
            waiting_client_.store(true);
            while (!worker && !is_shut_down())
                worker = pool_.take_for(TAKE_SLICE);
            waiting_client_.store(false);
        }
        if (!worker) {  // shutting down
            ::close(connection);
            break;
        }
        if (!verify(client)) {
            ::close(connection);
            pool_.give_back(worker);
            continue;
        }
        worker->assign(*this, connection, client);
        worker->kick();
        pool_.trim();
    }
    MT::Lock lock(run_mutex_);
    running_ = false;
    run_finished_.broadcast();
}

void TCPServer::interrupt() {
    shut_down_.store(true, std::memory_order_release);
    listening_.store(false, std::memory_order_release);
    // Under the lock that shutdown() closes the socket under, so the descriptor cannot have been
    // closed and reused by then. Shutting it down wakes a thread blocked in accept() on it (which
    // then fails with EINVAL); the broadcast ends the pause after a failed accept.
    MT::Lock lock(run_mutex_);
    if (valid()) ::shutdown(fd(), SHUT_RDWR);
    run_finished_.broadcast();
}

void TCPServer::shutdown() {
    interrupt();
    {
        MT::Lock lock(run_mutex_);
        while (running_)
            run_finished_.wait(run_mutex_);
        close();
    }
    pool_.shutdown();
}

TCPServerThread::TCPServerThread(TCPServer& server) : server_(server) {
    start();
}

TCPServerThread::~TCPServerThread() {
    stop();
}

void TCPServerThread::run() {
    server_.run();
}

void TCPServerThread::wake() {
    server_.interrupt();
}

}  // namespace Gantry::Net
