#include "tools/cv-index/tests/oracle_support.h"

#include <cctype>
#include <sstream>

#include "gantry/channel/block.h"
#include "tests/support/test_support.h"

namespace Corvid::Tools::Testing {

using Corvid::Testing::run_command;
using Corvid::Testing::shell_quote;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, ','))
        out.push_back(field);
    return out;
}

}  // namespace

std::vector<Keyframe> ffprobe_video_packets(const std::string& stream) {
    std::vector<Keyframe> packets;
    std::string out = run_command(
        "ffprobe -v error -select_streams v:0 -show_entries packet=pos,pts_time,flags -of "
        "csv=p=0 " +
        shell_quote(stream) + " 2>/dev/null");
    for (const std::string& line : lines(out)) {
        auto f = fields(line);
        if (f.size() < 3 || f[1].empty() || !isdigit(static_cast<unsigned char>(f[1][0]))) continue;
        double pts = f[0].empty() || f[0] == "N/A" ? 0.0 : std::stod(f[0]);
        packets.push_back({std::stoull(f[1]), pts, f[2].find('K') != std::string::npos});
    }
    return packets;
}

std::vector<Keyframe> ffprobe_keyframes(const std::string& stream) {
    std::vector<Keyframe> keyframes;
    for (const Keyframe& packet : ffprobe_video_packets(stream))
        if (packet.key) keyframes.push_back(packet);
    return keyframes;
}

std::vector<uint64_t> ffprobe_frame_positions(const std::string& stream) {
    std::vector<uint64_t> positions;
    std::string out = run_command(
        "ffprobe -v error -select_streams v:0 -show_entries frame=pkt_pos -of csv=p=0 " +
        shell_quote(stream) + " 2>/dev/null");
    for (const std::string& line : lines(out)) {
        auto f = fields(line);
        if (!f.empty() && !f[0].empty()) positions.push_back(std::stoull(f[0]));
    }
    return positions;
}

std::vector<std::string> ffmpeg_frame_md5s(const std::string& file) {
    std::vector<std::string> md5s;
    std::string out = run_command("ffmpeg -v error -i " + shell_quote(file) +
                                  " -map 0:v:0 -fps_mode passthrough -f framemd5 - 2>/dev/null");
    for (const std::string& line : lines(out)) {
        if (line[0] == '#') continue;
        auto f = fields(line);
        if (f.size() >= 6) {
            std::string md5 = f.back();
            md5.erase(0, md5.find_first_not_of(' '));
            md5s.push_back(md5);
        }
    }
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

std::vector<Index2::Block> index_blocks(const std::string& index) {
    std::vector<Index2::Block> blocks;
    auto bytes = Corvid::Testing::read_file(index);
    if (bytes.size() < 256) return blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    in.skip(256);
    while (in.remaining() >= 256) {
        Index2::Block block;
        block.read(in);
        blocks.push_back(block);
    }
    return blocks;
}

std::string cv_index(const std::string& arguments, int* status) {
    return run_command(
        shell_quote(Corvid::Testing::tool_path("cv-index")) + " " + arguments + " 2>&1", status);
}

}  // namespace Corvid::Tools::Testing
