// The guide as an XMLTV document (http://xmltv.org, xmltv.dtd), as cv-epg and the daemon's /xmltv
// serve it.
#pragma once

#include <ostream>
#include <string>

namespace Corvid::Capture {

class EPGStore;

// A "tv" root holding every "channel" first, then every "programme", from a copy of the store
// taken under its lock. generator names the writer in "generator-info-name".
void write_xmltv(const EPGStore& store, const std::string& generator, std::ostream& out);

}  // namespace Corvid::Capture
