#include "tools/cv-index/tests/oracle_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "gantry/channel/block.h"
#include "tests/support/test_support.h"

namespace Corvid::Tools::Testing {

using Corvid::Testing::shell_quote;

std::vector<VideoPacket> ffprobe_video_packets(const std::string& stream, bool key_only) {
    std::vector<VideoPacket> packets;
    for (const auto& p : Corvid::Testing::ffprobe_packets(stream, "v:0"))
        if (p.pos >= 0 && (p.key || !key_only))
            packets.push_back({static_cast<uint64_t>(p.pos), std::max(p.pts_time, 0.0), p.key});
    return packets;
}

std::vector<PcrPoint> stream_pcrs(const std::string& stream) {
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

std::string cv_index(const std::string& arguments, int* status) {
    return Corvid::Testing::run_command(
        shell_quote(Corvid::Testing::tool_path("cv-index")) + " " + arguments + " 2>&1", status);
}

std::vector<Index2::Block> build_index(const std::string& stream, const std::string& index) {
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
