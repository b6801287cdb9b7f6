// What ffprobe, ffmpeg and a plain reading of the stream bytes say about a test stream, and what
// an index file holds, for the cv-index tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index2/block.h"

namespace Corvid::Tools::Testing {

struct Keyframe {
    uint64_t pos;     // byte position of the packet that starts it
    double pts_time;  // seconds, as ffprobe prints it (0 when it has none)
    bool key = true;
};

// ffprobe's packets of the first video stream, in file order.
std::vector<Keyframe> ffprobe_video_packets(const std::string& stream);
// The key frame packets among them.
std::vector<Keyframe> ffprobe_keyframes(const std::string& stream);

// ffprobe's decoded frames of the first video stream (output order): the packet position of each.
std::vector<uint64_t> ffprobe_frame_positions(const std::string& stream);

// ffmpeg's framemd5 hashes of the decoded frames of the first video stream (output order, no
// frames dropped or repeated).
std::vector<std::string> ffmpeg_frame_md5s(const std::string& file);

// PCRs of the stream read straight from the adaptation fields: (packet offset, seconds).
struct PcrPoint {
    uint64_t offset;
    double pcr;
};
std::vector<PcrPoint> stream_pcrs(const std::string& stream);

// Every whole block of an index file after its header.
std::vector<Index2::Block> index_blocks(const std::string& index);

// Runs build/bin/cv-index with the arguments (already shell-quoted as needed); *status gets the
// exit status. Standard error is appended to the output.
std::string cv_index(const std::string& arguments, int* status);

}  // namespace Corvid::Tools::Testing
