// Switching the worker to an unprivileged group and user.
#pragma once

#include <string>

namespace Gantry::Daemon {

// Changes to the group, then to the user, each looked up by name (numeric ids are not accepted);
// an empty name leaves that id alone. With a group, the supplementary groups (root's, inherited)
// are replaced by that group alone. Logs each change; returns 0, or 2 after logging the error when
// a name is unknown or a change fails.
int change_identity(const std::string& user, const std::string& group);

}  // namespace Gantry::Daemon
