// What ffprobe, ffmpeg and the stream bytes themselves say about a test stream, and what cv-index
// builds from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index2/block.h"

namespace Corvid::Tools::Testing {

struct VideoPacket {
    uint64_t pos;     // byte position of the packet that starts it
    double pts_time;  // seconds, as ffprobe prints it (0 when it has none)
    bool key;
};

// ffprobe's packets of the first video stream, in file order; with key_only, the key frames.
std::vector<VideoPacket> ffprobe_video_packets(const std::string& stream, bool key_only = false);

// ffprobe's decoded frames of the first video stream (output order): the packet position of each.
std::vector<uint64_t> ffprobe_frame_positions(const std::string& stream);

// ffmpeg's framemd5 hashes of the decoded frames of the first video stream (output order, no
// frames dropped or repeated).
std::vector<std::string> ffmpeg_frame_md5s(const std::string& file);

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
