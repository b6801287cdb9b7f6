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

std::vector<ProbedPacket> ffprobe_packets(const std::string& path, uint16_t pid, bool* ok,
                                          bool with_unpositioned) {
    // The stream is chosen by its PID ("i:"), not as the first video stream: in a multi-programme
    // capture the first video stream may belong to another programme.
    int status = -1;
    const std::string out =
        Corvid::Testing::run_command("ffprobe -v error -select_streams i:" + std::to_string(pid) +
                                         " -show_entries packet=pos,flags,size -of csv=p=0 " +
                                         Corvid::Testing::shell_quote(path) + " 2>/dev/null",
                                     &status);
    *ok = status == 0;
    std::vector<ProbedPacket> packets;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        // size,pos,flags; side data can add empty lines and trailing commas.
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, ','))
            fields.push_back(field);
        auto number = [](const std::string& f) {
            return !f.empty() && std::all_of(f.begin(), f.end(), ::isdigit);
        };
        if (fields.size() < 3 || !number(fields[0])) continue;
        if (!number(fields[1]) && !(with_unpositioned && fields[1] == "N/A")) continue;
        packets.push_back(ProbedPacket{number(fields[1]) ? std::stoull(fields[1]) : 0,
                                       fields[2].find('K') != std::string::npos,
                                       std::stoull(fields[0])});
    }
    return packets;
}

}  // namespace Corvid::IndexGen::Testing
