// What ffprobe, ffmpeg and the stream bytes themselves say about a test stream, and what cv-index
// builds from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index2/block.h"
#include "tests/support/ffmpeg_oracle.h"

namespace Corvid::Tools::Testing {

using Corvid::Testing::ffmpeg_frame_md5s;
using Corvid::Testing::ffprobe_frame_positions;

struct VideoPacket {
    uint64_t pos;     // byte position of the packet that starts it
    double pts_time;  // seconds, as ffprobe prints it (0 when it has none)
    bool key;
};

// ffprobe's packets of the first video stream, in file order; with key_only, the key frames.
std::vector<VideoPacket> ffprobe_video_packets(const std::string& stream, bool key_only = false);

// PCRs read straight from the adaptation fields: (packet offset, seconds).
struct PcrPoint {
    uint64_t offset;
    double pcr;
};
std::vector<PcrPoint> stream_pcrs(const std::string& stream);

// Runs build/bin/cv-index with the (shell-quoted) arguments; standard error is appended to the
// output.
std::string cv_index(const std::string& arguments, int* status);

// cv-index build of stream into index (the test fails unless it succeeds), then every whole block
// of the index after its header.
std::vector<Index2::Block> build_index(const std::string& stream, const std::string& index);

}  // namespace Corvid::Tools::Testing
