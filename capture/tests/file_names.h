// The names in a folder, sorted: which files a capture left.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace Corvid::Capture {

inline std::vector<std::string> file_names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace Corvid::Capture
