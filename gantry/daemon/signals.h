// The signal entry points, and the self-pipe through which they hand signals to the shell's main
// loop.
//
// A handler runs inside whatever the process was doing, perhaps holding the log's or the
// allocator's lock, so the SIGTERM and SIGHUP handlers only record the signal and wake the main
// loop; the shell logs, forwards and re-reads there, on its next wake-up. The fatal-signal
// handler cannot wait for the loop: it writes its report with async-signal-safe calls only.
#pragma once

#include <signal.h>

#include <chrono>

namespace Gantry::Daemon {

void sigterm(int signal);
void sighup(int signal);
// SIGSEGV, SIGILL, SIGFPE, SIGABRT: writes the crash report (see crash_report.h), then dies of the
// signal, so a master sees its worker "died".
void sigevil(int signal);

// Process-wide; called on the main thread only.
namespace Signals {

struct Pending {
    bool term = false;
    bool hup = false;
};

// Creates the self-pipe and installs the handlers: SIGTERM, SIGHUP, the fatal signals (on an
// alternate stack, so a stack overflow is still reported), SIGCHLD (only a wake-up) when
// watch_children, and SIGPIPE ignored.
void install(bool watch_children);
// What has arrived since the last call.
Pending take();
// Sleeps until a signal arrives or the timeout passes.
void wait(std::chrono::nanoseconds timeout);

// Blocks every signal for its lifetime: a signal that arrives while a worker is being forked
// waits until that worker has its own pipe and flags.
class Blocker {
  public:
    Blocker();
    ~Blocker();
    Blocker(const Blocker&) = delete;
    Blocker& operator=(const Blocker&) = delete;

  private:
    sigset_t saved_;
};

// In a newly forked worker (signals blocked): its own self-pipe, nothing pending, SIGCHLD back to
// the default.
void reset_in_child();

}  // namespace Signals

}  // namespace Gantry::Daemon
