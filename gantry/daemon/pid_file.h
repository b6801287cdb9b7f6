// Daemon::PidFile: the daemon's pid file, locked for the daemon's whole life so that a second
// daemon started with the same file refuses to run instead of recording every channel twice.
#pragma once

#include <sys/types.h>

#include <string>

namespace Gantry::Daemon {

// The lock is an flock() on the open file, so it belongs to the open file description: it
// survives daemon()'s fork and is shared with every worker forked later, and the kernel drops it
// when the last of those processes exits, however it ends. A worker left running after its master
// was killed therefore still keeps a new daemon out.
//
// Threading: one owner, on the main thread.
class PidFile {
  public:
    enum class Result {
        locked,      // ours now
        busy,        // another process holds the lock
        unavailable  // cannot be opened; the daemon runs without a pid file
    };

    PidFile() = default;
    ~PidFile();
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    // Opens (creating it) and locks the file without waiting. The content is left alone until
    // write(), so a refused start does not wipe the running daemon's pid.
    Result acquire(const std::string& path);
    bool locked() const { return fd_ >= 0; }
    // After a busy acquire: the pid written in the file, or 0.
    pid_t holder() const { return holder_; }
    // Replaces the content with the pid and a newline.
    void write(pid_t pid);
    // At a clean exit of the process that wrote the file: deletes it, then lets the lock go.
    void remove();

  private:
    std::string path_;
    int fd_ = -1;
    pid_t holder_ = 0;
};

}  // namespace Gantry::Daemon
