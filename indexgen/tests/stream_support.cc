#include "indexgen/tests/stream_support.h"

#include <algorithm>
#include <sstream>

#include "tests/support/test_support.h"

namespace Corvid::IndexGen::Testing {

std::vector<SeenPacket> feed_in_chunks(const std::vector<uint8_t>& data, size_t chunk,
                                       uint64_t start_offset) {
    CollectPipe collect;
    TSPipeline pipeline(start_offset);
    pipeline.add_pipe(collect);
    for (size_t at = 0; at < data.size(); at += chunk)
        pipeline.feed(data.data() + at, std::min(chunk, data.size() - at));
    return std::move(collect.packets);
}

std::vector<ProbedPacket> ffprobe_packets(const std::string& path, uint16_t pid, bool* ok) {
    // The stream is chosen by its PID ("i:"), not as the first video stream: in a multi-programme
    // capture the first video stream may belong to another programme.
    int status = -1;
    std::istringstream lines(Corvid::Testing::run_command(
        "ffprobe -v error -select_streams i:" + std::to_string(pid) +
            " -show_entries packet=pts,dts,size,pos,flags -of csv=p=0 " +
            Corvid::Testing::shell_quote(path) + " 2>/dev/null",
        &status));
    *ok = status == 0;
    std::vector<ProbedPacket> packets;
    // pts,dts,size,pos,flags; side data can add empty lines and trailing fields.
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ',');)
            fields.push_back(field);
        if (fields.size() < 5) continue;
        const auto number = [](const std::string& f) { return f == "N/A" ? -1 : std::stoll(f); };
        packets.push_back(ProbedPacket{number(fields[0]), number(fields[1]), number(fields[3]),
                                       std::stoull(fields[2]),
                                       fields[4].find('K') != std::string::npos});
    }
    return packets;
}

}  // namespace Corvid::IndexGen::Testing
