#include "gantry/daemon/identity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gantry/log/stream.h"

namespace Gantry::Daemon {

int change_identity(const std::string& user, const std::string& group) {
    if (!group.empty()) {
        const struct group* entry = ::getgrnam(group.c_str());
        if (!entry) {
            Log::Error() << "Can't find group " << group << std::endl;
            return 2;
        }
        gid_t gid = entry->gr_gid;
        Log::Summary() << "Changing to group " << group << " (" << gid << ")" << std::endl;
        if (::setgroups(1, &gid) < 0 || ::setgid(gid) < 0) {
            Log::Error() << "Can't change group: " << std::strerror(errno) << std::endl;
            return 2;
        }
    }
    if (!user.empty()) {
        const struct passwd* entry = ::getpwnam(user.c_str());
        if (!entry) {
            Log::Error() << "Can't find user " << user << std::endl;
            return 2;
        }
        uid_t uid = entry->pw_uid;
        Log::Summary() << "Changing to user " << user << " (" << uid << ")" << std::endl;
        if (::setuid(uid) < 0) {
            Log::Error() << "Can't change user: " << std::strerror(errno) << std::endl;
            return 2;
        }
    }
    return 0;
}

}  // namespace Gantry::Daemon
