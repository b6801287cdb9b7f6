// The commands of cv-epg. Each writes its result to out and throws CommandError when it fails.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/common/tool.h"

namespace Corvid::Tools {

struct ScanOptions {
    std::vector<std::string> files;
    std::string huffman_pattern;
    std::string owner;  // empty: each file's own name
    bool all_services = false;
    std::string state_file;  // empty: none written
};

// Decodes the files as channel captures would and prints the guide found.
void scan(const ScanOptions& options, std::ostream& out);

// Prints the guide of an EPG state file as an XMLTV document.
void xmltv(const std::string& state_file, std::ostream& out);

}  // namespace Corvid::Tools
