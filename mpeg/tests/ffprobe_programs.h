// ffprobe's view of the programs of a transport stream file, the oracle for the PSI tests.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Corvid::MPEG::Testing {

struct ProbedProgram {
    int pmt_pid = -1;
    int pcr_pid = -1;
    std::vector<std::pair<unsigned, unsigned>> streams;  // (stream_type, pid) in PMT order
};

// Program number -> what ffprobe -show_programs reports. Adds a test failure if ffprobe fails.
std::map<int, ProbedProgram> ffprobe_programs(const std::string& path);

}  // namespace Corvid::MPEG::Testing
