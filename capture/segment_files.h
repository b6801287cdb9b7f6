// Deleting a capture's old segment files and their indexes.
#pragma once

#include "capture/segment_name.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

// Deletes the segment files of naming's capture (and the index beside each) whose name says
// they began before cut_off; the invalid stamp as cut-off deletes them all. Only regular files
// whose names parse as this capture's segments are touched: other names are kept, and so are
// symlinks, which the capture never makes. Logs a directory that cannot be listed.
void delete_segment_files(const SegmentNaming& naming, Gantry::Time::Stamp cut_off);

}  // namespace Corvid::Capture
