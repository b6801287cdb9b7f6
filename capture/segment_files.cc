#include "capture/segment_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;

namespace {

bool is_regular_file(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

void delete_segment_files(const SegmentNaming& naming, Gantry::Time::Stamp cut_off) {
    const std::string directory = naming.directory();
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) {
        Log::Error() << "Can't list files in directory " << directory << std::endl;
        return;
    }
    std::vector<std::string> paths;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || !naming.matches(name)) continue;
        paths.push_back(naming.path_of(name));
    }
    ::closedir(listing);

    for (const std::string& path : paths) {
        const Gantry::Time::Stamp began = naming.time_of(path);
        if (!began.valid() || (cut_off.valid() && !(began < cut_off))) continue;
        if (!is_regular_file(path)) continue;
        Log::Detail() << " - removing " << path << std::endl;
        ::unlink(path.c_str());
        if (naming.index_suffix.empty()) continue;
        const std::string index = naming.index_name(path);
        if (is_regular_file(index)) {
            Log::Detail() << " - removing " << index << std::endl;
            ::unlink(index.c_str());
        }
    }
}

}  // namespace Corvid::Capture
