#include "tools/cv-index/tests/oracle_support.h"

#include <gtest/gtest.h>

#include <sstream>

#include "gantry/channel/block.h"
#include "tests/support/test_support.h"

namespace Corvid::Tools::Testing {

using Corvid::Testing::shell_quote;

namespace {

// The comma-separated fields of each non-empty line a command prints.
std::vector<std::vector<std::string>> csv_rows(const std::string& command) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(Corvid::Testing::run_command(command + " 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        auto& row = rows.emplace_back();
        for (std::string field; std::getline(fields, field, ',');)
            row.push_back(field.erase(0, field.find_first_not_of(' ')));
    }
    return rows;
}

bool is_number(const std::string& field) {
    return !field.empty() && isdigit(static_cast<unsigned char>(field[0]));
}

}  // namespace

std::vector<VideoPacket> ffprobe_video_packets(const std::string& stream, bool key_only) {
    std::vector<VideoPacket> packets;
    for (const auto& f : csv_rows("ffprobe -v error -select_streams v:0 -show_entries "
                                  "packet=pts_time,pos,flags -of csv=p=0 " +
                                  shell_quote(stream))) {
        if (f.size() < 3 || !is_number(f[1])) continue;
        bool key = f[2].find('K') != std::string::npos;
        double pts = f[0].empty() || f[0] == "N/A" ? 0.0 : std::stod(f[0]);
        if (key || !key_only) packets.push_back({std::stoull(f[1]), pts, key});
    }
    return packets;
}

std::vector<uint64_t> ffprobe_frame_positions(const std::string& stream) {
    std::vector<uint64_t> positions;
    for (const auto& f : csv_rows("ffprobe -v error -select_streams v:0 -show_entries "
                                  "frame=pkt_pos -of csv=p=0 " +
                                  shell_quote(stream)))
        if (!f.empty() && is_number(f[0])) positions.push_back(std::stoull(f[0]));
    return positions;
}

std::vector<std::string> ffmpeg_frame_md5s(const std::string& file) {
    std::vector<std::string> md5s;
    for (const auto& f : csv_rows("ffmpeg -v error -i " + shell_quote(file) +
                                  " -map 0:v:0 -fps_mode passthrough -f framemd5 -"))
        if (f.size() >= 6) md5s.push_back(f.back());
    return md5s;
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
