#include "gantry/daemon/pid_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace Gantry::Daemon {

PidFile::~PidFile() {
    if (fd_ >= 0) ::close(fd_);
}

PidFile::Result PidFile::acquire(const std::string& path) {
    path_ = path;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Result::unavailable;
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        fd_ = fd;
        return Result::locked;
    }
    bool busy = errno == EWOULDBLOCK;
    char text[32] = {};
    if (busy && ::pread(fd, text, sizeof text - 1, 0) > 0)
        holder_ = static_cast<pid_t>(std::atol(text));
    ::close(fd);
    return busy ? Result::busy : Result::unavailable;
}

void PidFile::write(pid_t pid) {
    if (fd_ < 0) return;
    // A pid file that cannot be written is no reason to stop; the lock still holds.
    std::string text = std::to_string(pid) + "\n";
    if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, text.data(), text.size(), 0);
}

void PidFile::remove() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
}

}  // namespace Gantry::Daemon
