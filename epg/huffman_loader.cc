#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "epg/huffman.h"
#include "gantry/log/log.h"

namespace Corvid::Capture::Huffman {

namespace Log = Gantry::Log;

namespace {

constexpr std::string_view MARKER = "%i";

// Names in the folder that start with prefix and end with suffix, sorted so that the merge order
// of files naming the same id does not depend on the file system. False if the folder cannot be
// read.
bool list_matching(const std::string& folder, const std::string& prefix, const std::string& suffix,
                   std::vector<std::string>& names) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (name.size() < prefix.size() + suffix.size()) continue;
        if (!name.starts_with(prefix) || !name.ends_with(suffix)) continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

}  // namespace

void load_tables(TableSet& tables, const std::string& pattern) {
    if (pattern.empty()) return;
    Log::Summary() << "Reading Huffman mappings from " << pattern << std::endl;

    size_t slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : pattern.substr(0, slash);
    std::string leaf = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    size_t marker = leaf.find(MARKER);
    if (marker == std::string::npos || leaf.find(MARKER, marker + 1) != std::string::npos) {
        Log::Error() << "Error reading Huffman mappings: path pattern must contain a single '%i' "
                        "marker in the file leaf"
                     << std::endl;
        return;
    }
    std::string prefix = leaf.substr(0, marker), suffix = leaf.substr(marker + MARKER.size());

    std::vector<std::string> names;
    if (!list_matching(folder, prefix, suffix, names)) {
        Log::Error() << "Could not list Huffman mapping files" << std::endl;
        return;
    }

    tables.clear();
    for (const std::string& name : names) {
        std::string middle =
            name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        long number = std::strtol(middle.c_str(), nullptr, 10);
        if (number > 255) {
            Log::Error() << "Ignoring Huffman mapping file with bad index: " << name << std::endl;
            continue;
        }
        // Negative numbers wrap as an 8-bit value does: "huff-1.txt" is table 255.
        auto id = static_cast<uint8_t>(number);
        std::ifstream in(folder + "/" + name);
        if (!in) {
            Log::Error() << "Could not read Huffman mapping file: " << name << std::endl;
            continue;
        }
        ReadStats stats;
        if (!read_table(tables[id], in, &stats)) {
            Log::Error() << "Could not read Huffman mapping file (bad format): " << name
                         << std::endl;
            tables.erase(id);
            continue;
        }
        if (stats.conflicts > 0) {
            Log::Error() << "Huffman mapping file " << name << ": " << stats.conflicts
                         << " conflicting mapping(s), the later one kept; first: "
                         << stats.first_conflict << std::endl;
        }
        Log::Detail() << "Read Huffman mappings for table " << static_cast<unsigned>(id)
                      << " from: " << name << std::endl;
    }
}

}  // namespace Corvid::Capture::Huffman
