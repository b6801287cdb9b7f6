#include "capture/storage_roots.h"

#include <limits.h>
#include <stdlib.h>

namespace Corvid::Capture {

namespace {

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

std::string resolve_path(const std::string& path) {
    if (path.empty()) return real_path(".");
    std::string whole = real_path(path);
    if (!whole.empty()) return whole;
    // Not there yet: its directory must be.
    const auto slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf == "." || leaf == "..") return {};
    std::string base = real_path(directory);
    if (base.empty()) return {};
    if (leaf.empty()) return base;
    return base == "/" ? "/" + leaf : base + "/" + leaf;
}

StorageRoots::StorageRoots(const std::string& colon_separated) {
    size_t at = 0;
    while (at <= colon_separated.size()) {
        size_t colon = colon_separated.find(':', at);
        if (colon == std::string::npos) colon = colon_separated.size();
        const std::string root = colon_separated.substr(at, colon - at);
        if (!root.empty()) {
            std::string resolved = real_path(root);
            if (!resolved.empty()) roots_.push_back(resolved);
        }
        at = colon + 1;
    }
}

StorageRoots StorageRoots::for_default_prefix(const std::string& prefix) {
    const auto slash = prefix.rfind('/');
    if (slash == std::string::npos) return StorageRoots(".");
    return StorageRoots(slash == 0 ? "/" : prefix.substr(0, slash));
}

bool StorageRoots::contains(const std::string& path) const {
    const std::string resolved = resolve_path(path);
    if (resolved.empty()) return false;
    for (const std::string& root : roots_) {
        if (resolved == root) return true;
        if (root == "/" || (resolved.starts_with(root) && resolved[root.size()] == '/'))
            return true;
    }
    return false;
}

}  // namespace Corvid::Capture
