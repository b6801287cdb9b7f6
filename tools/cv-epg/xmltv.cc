#include "epg/xmltv.h"

#include "epg/epg.h"
#include "tools/cv-epg/commands.h"

namespace Corvid::Tools {

void xmltv(const std::string& state_file, std::ostream& out) {
    Capture::EPGStore store;
    if (!store.load(state_file)) throw CommandError("cannot read " + state_file);
    Capture::write_xmltv(store, "cv-epg", out);
}

}  // namespace Corvid::Tools
