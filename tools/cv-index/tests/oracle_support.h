// What ffprobe, ffmpeg and the stream bytes themselves say about a test stream, and what cv-index
// builds from it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "index2/block.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/test_support.h"

namespace Corvid::Tools::Testing {

using Corvid::Testing::ffmpeg_frame_md5s;
using Corvid::Testing::ffprobe_frame_positions;
using Corvid::Testing::shell_quote;

struct VideoPacket {
    uint64_t pos;     // byte position of the packet that starts it
    double pts_time;  // seconds, as ffprobe prints it (0 when it has none)
    bool key;
};

// ffprobe's packets of the first video stream, in file order; with key_only, the key frames.
inline std::vector<VideoPacket> ffprobe_video_packets(const std::string& stream,
                                                      bool key_only = false) {
    std::vector<VideoPacket> packets;
    for (const auto& p : Corvid::Testing::ffprobe_packets(stream, "v:0"))
        if (p.pos >= 0 && (p.key || !key_only))
            packets.push_back({static_cast<uint64_t>(p.pos), std::max(p.pts_time, 0.0), p.key});
    return packets;
}

// PCRs read straight from the adaptation fields: (packet offset, seconds).
struct PcrPoint {
    uint64_t offset;
    double pcr;
};
inline std::vector<PcrPoint> stream_pcrs(const std::string& stream) {
    std::vector<PcrPoint> pcrs;
    auto bytes = Corvid::Testing::read_file(stream);
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const uint8_t* p = bytes.data() + at;
        // Adaptation field present, at least 7 bytes long, PCR flag set.
        if (p[0] != 0x47 || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) continue;
        uint64_t base = uint64_t{p[6]} << 25 | uint64_t{p[7]} << 17 | uint64_t{p[8]} << 9 |
                        uint64_t{p[9]} << 1 | p[10] >> 7;
        uint64_t extension = (p[10] & 1u) << 8 | p[11];
        pcrs.push_back({at, static_cast<double>(base * 300 + extension) / 27000000.0});
    }
    return pcrs;
}

// Runs build/bin/cv-index with the (shell-quoted) arguments; standard error is appended to the
// output.
inline std::string cv_index(const std::string& arguments, int* status) {
    return Corvid::Testing::run_command(
        shell_quote(Corvid::Testing::tool_path("cv-index")) + " " + arguments + " 2>&1", status);
}

// cv-index build of stream into index (the test fails unless it succeeds), then every whole block
// of the index after its header.
inline std::vector<Index2::Block> build_index(const std::string& stream, const std::string& index) {
    int status = -1;
    std::string output =
        cv_index("build " + shell_quote(stream) + " -o " + shell_quote(index), &status);
    std::vector<Index2::Block> blocks;
    EXPECT_EQ(status, 0) << output;
    if (status != 0) return blocks;
    auto bytes = Corvid::Testing::read_file(index);
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (in.skip(256); in.remaining() >= 256;)
        blocks.emplace_back().read(in);
    return blocks;
}

}  // namespace Corvid::Tools::Testing
