#include "tests/support/ffmpeg_oracle.h"

#include <cctype>
#include <sstream>

#include "tests/support/test_support.h"

namespace Corvid::Testing {

namespace {

// The comma-separated fields of each non-empty line a command prints; *ok is its success.
std::vector<std::vector<std::string>> csv_rows(const std::string& command, bool* ok = nullptr) {
    int status = -1;
    std::istringstream lines(run_command(command + " 2>/dev/null", &status));
    if (ok) *ok = status == 0;
    std::vector<std::vector<std::string>> rows;
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
    return !field.empty() && std::isdigit(static_cast<unsigned char>(field[0]));
}

}  // namespace

std::vector<ProbedPacket> ffprobe_packets(const std::string& path, const std::string& selector,
                                          bool* ok) {
    std::vector<ProbedPacket> packets;
    // Fields come in ffprobe's own order: pts,pts_time,dts,size,pos,flags; side data can add
    // lines and trailing fields.
    for (const auto& f : csv_rows("ffprobe -v error -select_streams " + selector +
                                      " -show_entries packet=pts,pts_time,dts,size,pos,flags"
                                      " -of csv=p=0 " +
                                      shell_quote(path),
                                  ok)) {
        if (f.size() < 6 || !is_number(f[3])) continue;
        const auto integer = [](const std::string& s) { return is_number(s) ? std::stoll(s) : -1; };
        packets.push_back(ProbedPacket{integer(f[0]), integer(f[2]), integer(f[4]),
                                       is_number(f[1]) ? std::stod(f[1]) : -1.0, std::stoull(f[3]),
                                       f[5].find('K') != std::string::npos});
    }
    return packets;
}

std::vector<uint64_t> ffprobe_frame_positions(const std::string& path) {
    std::vector<uint64_t> positions;
    for (const auto& f : csv_rows("ffprobe -v error -select_streams v:0 -show_entries "
                                  "frame=pkt_pos -of csv=p=0 " +
                                  shell_quote(path)))
        if (!f.empty() && is_number(f[0])) positions.push_back(std::stoull(f[0]));
    return positions;
}

std::vector<std::string> ffmpeg_frame_md5s(const std::string& path) {
    std::vector<std::string> md5s;
    for (const auto& f : csv_rows("ffmpeg -v error -i " + shell_quote(path) +
                                  " -map 0:v:0 -fps_mode passthrough -f framemd5 -"))
        if (f.size() >= 6) md5s.push_back(f.back());
    return md5s;
}

}  // namespace Corvid::Testing
