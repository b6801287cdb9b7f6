#include "gantry/daemon/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "gantry/daemon/crash_report.h"

namespace Gantry::Daemon {

namespace {

// Lock-free atomics are safe to touch from a handler; the pipe's write end is only replaced with
// every signal blocked.
std::atomic<bool> term_pending{false};
std::atomic<bool> hup_pending{false};
std::atomic<int> pipe_read{-1};
std::atomic<int> pipe_write{-1};

void wake() {
    int saved = errno;
    int fd = pipe_write.load(std::memory_order_relaxed);
    char byte = 0;
    if (fd >= 0) (void)!::write(fd, &byte, 1);  // a full pipe already holds a wake-up
    errno = saved;
}

void on_child(int) {
    wake();
}

void open_pipe() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0) return;  // the loops still wake on their timeouts
    pipe_read.store(fds[0]);
    pipe_write.store(fds[1]);
}

void close_pipe() {
    for (auto* end : {&pipe_read, &pipe_write}) {
        int fd = end->exchange(-1);
        if (fd >= 0) ::close(fd);
    }
}

void handle(int signal, void (*handler)(int), int flags = SA_RESTART) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

constexpr int fatal_signals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT};

}  // namespace

void sigterm(int) {
    term_pending.store(true);
    wake();
}

void sighup(int) {
    hup_pending.store(true);
    wake();
}

void sigevil(int signal) {
    write_crash_report(signal);
    handle(signal, SIG_DFL, 0);
    // Delivered once this handler returns (or, for a fault, when the instruction runs again).
    ::raise(signal);
}

namespace Signals {

void install(bool watch_children) {
    if (pipe_write.load() < 0) open_pipe();
    static char alternate_stack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof alternate_stack;
    ::sigaltstack(&stack, nullptr);
    handle(SIGTERM, sigterm);
    handle(SIGHUP, sighup);
    for (int signal : fatal_signals)
        handle(signal, sigevil, SA_ONSTACK);
    handle(SIGCHLD, watch_children ? on_child : SIG_DFL);
    handle(SIGPIPE, SIG_IGN);
}

Pending take() {
    return {term_pending.exchange(false), hup_pending.exchange(false)};
}

void wait(std::chrono::nanoseconds timeout) {
    int fd = pipe_read.load();
    struct pollfd poll {
        fd, POLLIN, 0
    };
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    struct timespec limit {
        static_cast<time_t>(seconds.count()), static_cast<long>((timeout - seconds).count())
    };
    if (::ppoll(&poll, fd >= 0 ? 1 : 0, &limit, nullptr) > 0) {
        char buffer[64];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
    }
}

Blocker::Blocker() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &saved_);
}

Blocker::~Blocker() {
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void reset_in_child() {
    close_pipe();
    open_pipe();
    term_pending.store(false);
    hup_pending.store(false);
    handle(SIGCHLD, SIG_DFL);
}

}  // namespace Signals

}  // namespace Gantry::Daemon
