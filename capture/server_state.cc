// The capture state file: the captures that clients added, in the capture element form, so that
// they come back when the service starts again.
//
//   <captures>
//     <capture id="...">...</capture>   one per capture that is not permanent, in id order
//   </captures>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/server.h"
#include "gantry/log/log.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace MT = Gantry::MT;
namespace XML = Gantry::XML;

namespace {

constexpr const char* ROOT = "captures";
constexpr const char* CAPTURE = "capture";

// Renames a state file that cannot be read out of the way of the next save, under a name no
// earlier one took.
void set_aside(const std::string& path, const std::string& stamp) {
    std::string aside = path + ".unreadable-" + stamp;
    struct stat status;
    for (int n = 1; ::stat(aside.c_str(), &status) == 0; n++)
        aside = path + ".unreadable-" + stamp + "." + std::to_string(n);
    if (std::rename(path.c_str(), aside.c_str()) == 0)
        Log::Error() << "Unreadable state of non-permanent captures " << path << " kept as "
                     << aside << std::endl;
    else
        Log::Error() << "Unreadable state of non-permanent captures " << path
                     << " could not be kept aside: " << std::strerror(errno) << std::endl;
}

}  // namespace

void Server::save_dynamic_state() {
    if (!state_restored_.load(std::memory_order_acquire)) return;
    const std::string path = shared().state_file;
    if (path.empty()) return;
    MT::Lock lock(save_mutex_);
    Log::Detail details;
    XML::Configuration file(path, details);
    XML::Element& root = file.replace_root(ROOT);
    {
        Captures::ReadView view(captures_);
        for (auto item : view)
            if (!item.object->permanent()) item.object->describe(root.add(CAPTURE));
    }
    if (!file.write())
        Log::Error() << "Could not write state of non-permanent captures to " << path << std::endl;
}

void Server::restore_dynamic_state() {
    Log::Detail() << "Attempting to restore non-permanent capture state" << std::endl;
    // Saves wait until every capture of the file is back: one saved after the first add would
    // leave the others out of the file if the process died meanwhile.
    state_restored_.store(false, std::memory_order_release);
    const std::string path = shared().state_file;
    Log::Detail details;
    XML::Configuration file(path, details);
    if (path.empty() || !file.read(ROOT)) {
        Log::Detail() << "Could not read any state for non-permanent captures" << std::endl;
        struct stat status;
        if (!path.empty() && ::stat(path.c_str(), &status) == 0) {
            std::string stamp = options_.clock().iso();
            for (char& c : stamp)
                if (c == ':') c = '-';
            set_aside(path, stamp);
        }
    }
    for (const XML::Element* capture : file.root().get_children(CAPTURE))
        add_capture(*capture, false);
    state_restored_.store(true, std::memory_order_release);
    save_dynamic_state();
}

}  // namespace Corvid::Capture
