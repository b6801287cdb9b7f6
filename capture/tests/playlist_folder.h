// A capture's segment folder made from a generated stream, for the playlist tests: the stream cut
// into three files at datagram boundaries, named by the naming rule at the given times after t0
// and indexed by `cv-index build`, as the capture would have left them.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "capture/playlist.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture::Testing {

using namespace Corvid::Testing;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

inline const Stamp t0("2026-03-01T10:00:00Z");

struct SegmentFolder {
    TempDir dir;
    PlaylistSettings settings;
    std::vector<Stamp> starts;  // name time of each file
    std::vector<std::string> paths;
    std::vector<uint64_t> bases;  // where each file begins in the stream

    // Index suffix ".cvi2"; false (with a test failure) when cv-index fails.
    bool make(const std::string& stream, const std::vector<double>& seconds_after_t0) {
        settings.naming = {dir.path() + "/", "ch1", ".ts", ".cvi2"};
        const auto bytes = read_file(stream);
        const size_t parts = seconds_after_t0.size();
        for (size_t i = 0; i < parts; ++i) {
            const uint64_t begin = bytes.size() * i / parts / 1316 * 1316;
            const uint64_t end =
                i + 1 == parts ? bytes.size() : bytes.size() * (i + 1) / parts / 1316 * 1316;
            starts.push_back(t0 + Duration(seconds_after_t0[i]));
            paths.push_back(settings.naming.file_name(starts.back()));
            bases.push_back(begin);
            std::ofstream(paths.back(), std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data() + begin),
                       static_cast<std::streamsize>(end - begin));
            int status = -1;
            std::string output = run_command(shell_quote(tool_path("cv-index")) + " build " +
                                                 shell_quote(paths.back()) + " 2>&1",
                                             &status);
            EXPECT_EQ(status, 0) << output;
            if (status != 0) return false;
        }
        return true;
    }
};

}  // namespace Corvid::Capture::Testing
