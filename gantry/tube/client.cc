#include "gantry/tube/client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <utility>

#include "gantry/log/stream.h"
#include "gantry/mt/thread.h"
#include "gantry/net/socket_error.h"

namespace Gantry::Tube {

// Both threads end by themselves once the client stops running; the grace covers a connect in
// progress, which cannot be interrupted.
class ClientSendThread : public MT::Thread {
  public:
    explicit ClientSendThread(Client& client) : client_(client) {}
    ~ClientSendThread() override { stop(); }

  private:
    void run() override { client_.send_loop(); }
    Client& client_;
};

class ClientReceiveThread : public MT::Thread {
  public:
    explicit ClientReceiveThread(Client& client) : client_(client) {}
    ~ClientReceiveThread() override { stop(); }

  private:
    void run() override { client_.receive_loop(); }
    Client& client_;
};

namespace {

double seconds(std::chrono::milliseconds pause) {
    return static_cast<double>(pause.count()) / 1000;
}

}  // namespace

Client::Client(const Net::EndPoint& server, std::string name, Options options, SSL::Context* tls)
    : server_(server), name_(std::move(name)), options_(options), tls_(tls) {}

Client::~Client() {
    stop();
}

void Client::stop() {
    shutdown();
    send_thread_.reset();
    receive_thread_.reset();
}

void Client::start() {
    if (send_thread_) return;
    running_.store(true, std::memory_order_release);
    reopen(nullptr);
    const auto grace = std::chrono::milliseconds(1000 * options_.connect_timeout + 1000);
    send_thread_ = std::make_unique<ClientSendThread>(*this);
    receive_thread_ = std::make_unique<ClientReceiveThread>(*this);
    send_thread_->set_stop_grace(grace);
    receive_thread_->set_stop_grace(grace);
    send_thread_->start();
    receive_thread_->start();
}

bool Client::is_valid_tag(uint32_t) {
    return true;
}

bool Client::poll() {
    return !receive_queue_.empty();
}

bool Client::wait(Message& message) {
    Message next = receive_queue_.pop();
    if (next.is_marker()) return false;
    message = std::move(next);
    return true;
}

void Client::shutdown() {
    if (!running_.exchange(false)) return;
    {
        MT::Lock lock(pause_mutex_);
        pause_changed_.broadcast();
    }
    // Waits for a connect in progress, whose socket then is shut down too.
    if (Socket socket = current()) socket->shutdown_both();
    send_queue_.close();
    receive_queue_.close();
}

void Client::send(Message message) {
    if (!message.is_marker()) send_queue_.push(std::move(message));
}

bool Client::connected() const {
    return current() != nullptr;
}

Client::Socket Client::current() const {
    MT::Lock lock(socket_mutex_);
    return socket_;
}

bool Client::pause(std::chrono::milliseconds pause) {
    const auto deadline = MT::Condition::deadline_after(pause);
    MT::Lock lock(pause_mutex_);
    while (running() && pause_changed_.wait_until(pause_mutex_, deadline)) {
    }
    return running();
}

bool Client::reopen(const Socket& failed) {
    MT::Lock lock(socket_mutex_);
    if (!running()) return false;
    if (socket_ && socket_ != failed) return true;
    if (socket_) {
        socket_->shutdown_both();  // wakes the other thread if it still uses it
        socket_.reset();
    }
    const bool reopening = std::exchange(attempted_, true);
    auto socket = std::make_shared<SSL::TCPClient>(tls_, server_, options_.connect_timeout);
    if (!socket->connected()) {
        Log::Error() << name_ << ": Can't open socket to " << server_ << std::endl;
        return false;
    }
    if (!running()) return false;  // shutdown() came during the connect
    // Frames go out whole, each in one write; holding one back for an acknowledgement (Nagle)
    // only delays a request/reply exchange.
    const int one = 1;
    ::setsockopt(socket->fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    socket_ = std::move(socket);
    Log::Detail() << name_ << ": Opened socket to " << server_ << std::endl;
    if (reopening) receive_queue_.push(Message{});
    return true;
}

void Client::receive_loop() {
    while (running()) {
        while (receive_one()) {
        }
        if (!running()) break;
        Log::Error() << name_ << " (recv): Socket failed, can't restart" << std::endl;
        Log::Error() << name_ << " (recv): Sleeping for " << seconds(options_.reconnect_pause)
                     << " seconds" << std::endl;
        pause(options_.reconnect_pause);
    }
}

bool Client::receive_one() {
    Socket socket = current();
    if (!socket && (!reopen(nullptr) || !(socket = current()))) return false;
    try {
        return read_frame(socket);
    } catch (const Net::SocketError& error) {
        if (!running()) return false;
        // The send thread replaced the connection under us: read from the new one.
        if (current() != socket) return true;
        Log::Error() << name_ << " (recv): " << error.what() << std::endl;
        return restart(socket, "recv");
    }
}

bool Client::read_frame(const Socket& socket) {
    const uint32_t tag = socket->read_nbo_32();
    if (!is_valid_tag(tag)) {
        Log::Error() << name_ << " (recv): Unrecognised tag '" << tag_text(tag)
                     << "' - out-of-sync?" << std::endl;
        return reopen(socket);
    }
    const uint32_t length = socket->read_nbo_32();
    const uint32_t flags = socket->read_nbo_32();
    if (length > MAX_LENGTH) {
        Log::Error() << name_ << " (recv): Message length " << length << " over " << MAX_LENGTH
                     << " - out-of-sync?" << std::endl;
        return reopen(socket);
    }
    Message message{tag, flags, std::string(length, '\0')};
    if (!socket->read_exact(message.data.data(), length)) {
        Log::Error() << name_ << " (recv): Short message read - socket died" << std::endl;
        return reopen(socket);
    }
    receive_queue_.push(std::move(message));
    return true;
}

bool Client::restart(const Socket& failed, const char* side) {
    if (!pause(options_.restart_wait)) return false;
    Log::Summary() << name_ << " (" << side << "): Attempting to restart socket" << std::endl;
    return reopen(failed);
}

void Client::send_loop() {
    while (running()) {
        Message message = send_queue_.pop();
        if (message.is_marker()) continue;
        Socket socket;
        while (running() && !(socket = current())) {
            Log::Error() << name_ << " (send): Socket is dead - waiting for improvement"
                         << std::endl;
            pause(options_.reconnect_pause);
        }
        if (socket && !write(socket, message)) restart(socket, "send");
    }
}

bool Client::write(const Socket& socket, const Message& message) {
    try {
        // One write per frame: the peer never sees a header without its data unless the
        // connection fails.
        socket->write(encode(message));
        return true;
    } catch (const Net::SocketError& error) {
        if (running()) Log::Error() << name_ << " (send): " << error.what() << std::endl;
        return false;
    }
}

}  // namespace Gantry::Tube
