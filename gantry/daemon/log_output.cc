#include "gantry/daemon/log_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Gantry::Daemon {

namespace {

int open_append(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

}  // namespace

std::unique_ptr<LogOutput> LogOutput::open_file(const std::string& path) {
    int fd = open_append(path);
    if (fd < 0) return nullptr;
    return std::unique_ptr<LogOutput>(new LogOutput(fd, path));
}

std::unique_ptr<LogOutput> LogOutput::standard_output() {
    return std::unique_ptr<LogOutput>(new LogOutput(STDOUT_FILENO, ""));
}

LogOutput::~LogOutput() {
    if (!path_.empty()) ::close(fd_);
}

void LogOutput::log(const Log::Message& message) {
    std::string line = message.text;
    line += '\n';
    MT::Lock lock(mutex_);
    // A failed write (a full disk) loses this line only; the next one tries again.
    for (size_t done = 0; done < line.size();) {
        ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

bool LogOutput::reopen() {
    if (path_.empty()) return true;
    int fd = open_append(path_);
    if (fd < 0) return false;
    MT::Lock lock(mutex_);
    // dup2 replaces the old file atomically, so no writer ever sees a closed descriptor.
    int result = ::dup3(fd, fd_, O_CLOEXEC);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return result >= 0;
}

}  // namespace Gantry::Daemon
