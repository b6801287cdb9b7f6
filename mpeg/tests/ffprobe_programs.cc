#include "mpeg/tests/ffprobe_programs.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/test_support.h"

namespace Corvid::MPEG::Testing {

std::map<int, ProbedProgram> ffprobe_programs(const std::string& path) {
    int status = -1;
    const std::string out = Corvid::Testing::run_command(
        "ffprobe -v error -show_programs -show_entries "
        "program=program_id,pmt_pid,pcr_pid:program_stream=id,codec_tag -of compact " +
            Corvid::Testing::shell_quote(path),
        &status);
    EXPECT_EQ(status, 0) << out;
    // Compact output is a flat run of "key=value" items separated by '|' and newlines; a program's
    // streams follow it, each stream's codec_tag before its id.
    std::map<int, ProbedProgram> programs;
    ProbedProgram* current = nullptr;
    unsigned codec_tag = 0;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find_first_of("|\n", at);
        if (end == std::string::npos) end = out.size();
        const std::string item = out.substr(at, end - at);
        at = end + 1;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        const auto number = std::strtoul(value.c_str(), nullptr, 0);
        if (key == "program_id") {
            current = &programs[static_cast<int>(number)];
        } else if (!current) {
            continue;
        } else if (key == "pmt_pid") {
            current->pmt_pid = static_cast<int>(number);
        } else if (key == "pcr_pid") {
            current->pcr_pid = static_cast<int>(number);
        } else if (key == "codec_tag") {
            codec_tag = static_cast<unsigned>(number);
        } else if (key == "id") {
            current->streams.emplace_back(codec_tag, static_cast<unsigned>(number));
        }
    }
    return programs;
}

}  // namespace Corvid::MPEG::Testing
