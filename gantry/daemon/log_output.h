// Daemon::LogOutput: the end of the daemon's log chain, a file descriptor (the log file, or
// standard output in the foreground).
#pragma once

#include <memory>
#include <string>

#include "gantry/log/channel.h"

namespace Gantry::Daemon {

// Each message goes out as one write of its text and a newline, under the channel's mutex, so
// lines from several threads, and from the master and worker appending to one file, stay whole.
// reopen() swaps the file in under the same descriptor number: logrotate can move the file away
// and a SIGHUP starts a new one, while the crash report, written straight to fd() from a signal
// handler, always reaches the current file.
class LogOutput : public Log::Channel {
  public:
    // Opens for appending, creating the file; null (with errno set) if it cannot.
    static std::unique_ptr<LogOutput> open_file(const std::string& path);
    // Standard output, not owned, never reopened.
    static std::unique_ptr<LogOutput> standard_output();

    ~LogOutput() override;

    void log(const Log::Message& message) override;
    // Opens the path again. False (with errno set) keeps writing to the old file; true without
    // effect for standard output.
    bool reopen();

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    LogOutput(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    const int fd_;
    const std::string path_;  // empty for standard output
};

}  // namespace Gantry::Daemon
