// What ffprobe and ffmpeg (Debian's ffmpeg package) say about a transport stream: the oracles the
// stream tests compare with. Each runs the program; a missing program gives empty results, so
// callers skip first with CORVID_REQUIRE_PROGRAM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Corvid::Testing {

// One packet of an elementary stream as ffprobe reports it; -1 for what it gives as N/A (a
// second field in the same PES packet has no position or timestamps).
struct ProbedPacket {
    int64_t pts = -1, dts = -1, pos = -1;
    double pts_time = -1;
    uint64_t size = 0;
    bool key = false;
};

// The packets of one stream, in file order. selector is ffprobe's: "v:0" for the first video
// stream, "i:256" for the stream on PID 256. *ok (if given) is false when ffprobe failed.
std::vector<ProbedPacket> ffprobe_packets(const std::string& path, const std::string& selector,
                                          bool* ok = nullptr);

// The packet position of each decoded frame of the first video stream, in output order.
std::vector<uint64_t> ffprobe_frame_positions(const std::string& path);

// ffmpeg's framemd5 hashes of the decoded frames of the first video stream (output order, no
// frames dropped or repeated).
std::vector<std::string> ffmpeg_frame_md5s(const std::string& path);

}  // namespace Corvid::Testing
