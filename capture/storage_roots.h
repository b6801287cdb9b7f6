// The directories that captures defined by requests may write under. A path is inside when it
// resolves, after symlinks, to one of the roots or below one: for a path that does not exist yet
// (a file prefix, a session file about to be made) its directory is resolved and its last
// component must be a plain name.
//
// A value; read-only after construction, so safe on any thread.
#pragma once

#include <string>
#include <vector>

namespace Corvid::Capture {

class StorageRoots {
  public:
    // Colon-separated directories; roots that do not resolve are left out (and match nothing).
    explicit StorageRoots(const std::string& colon_separated);
    // The setting's default: the directory of the default file prefix, or the working directory
    // when there is no prefix.
    static StorageRoots for_default_prefix(const std::string& prefix);

    bool contains(const std::string& path) const;
    const std::vector<std::string>& roots() const { return roots_; }

  private:
    std::vector<std::string> roots_;  // resolved
};

// The path with every symlink resolved, or "" when its directory does not exist.
std::string resolve_path(const std::string& path);

}  // namespace Corvid::Capture
