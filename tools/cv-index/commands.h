// The commands of cv-index. Each returns the process exit status and writes its result to out; a
// failure throws CommandError with a one-line message.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "gantry/time/stamp.h"
#include "tools/common/tool.h"

namespace Corvid::Capture {
struct HlsOptions;
}

namespace Corvid::Tools {

// Indexes a recorded stream as a capture would: through the pipeline in 1,316-byte chunks (seven
// packets, one datagram), base PCR unknown.
void build_index(const std::string& stream_path, const std::string& index_path);
void dump_index(const std::string& index_path, bool show_data, std::ostream& out);
void find_npt(const std::string& index_path, double npt, bool intra, std::ostream& out);
void list_intra(const std::string& index_path, double interval, std::ostream& out);
void print_bit_rate(const std::string& index_path, std::ostream& out);
// Writes trick-play entry n (0-based, in file order) as a stand-alone transport stream: its inline
// packets and the ranges of the segment file that its REF blocks name, in entry order.
void extract_entry(const std::string& stream_path, const std::string& index_path, uint64_t n,
                   const std::string& out_path);

// A capture's segment folder: files folder/prefix + id + "." + date + "." + time + suffix, each
// with its index beside it.
struct SegmentFolder {
    std::string folder;
    std::string id;
    std::string prefix;
    std::string suffix = ".ts";
    std::string index_suffix = ".cvi2";
    double segment_length = 3600;  // seconds; tells whether the newest file is still written
};

// The capture's playlist of [start, end] (end invalid: to the end): the files, then the start and
// end times with their NPTs.
void print_playlist(const SegmentFolder& folder, Gantry::Time::Stamp start, Gantry::Time::Stamp end,
                    std::ostream& out);
// The HLS media or I-frame playlist of [start, end].
void print_hls(const SegmentFolder& folder, Gantry::Time::Stamp start, Gantry::Time::Stamp end,
               const Capture::HlsOptions& options, std::ostream& out);

}  // namespace Corvid::Tools
