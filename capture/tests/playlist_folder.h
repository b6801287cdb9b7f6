// A capture's segment folder for the playlist tests: a generated stream cut at datagram boundaries
// into files named for the given seconds after t0, indexed by `cv-index build`.
#pragma once

#include <gtest/gtest.h>

#include "capture/playlist.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture::Testing {

using namespace Corvid::Testing;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

inline const Stamp t0("2026-03-01T10:00:00Z");

struct SegmentFolder {
    TempDir dir;
    PlaylistSettings settings{{dir.path() + "/", "ch1", ".ts", ".cvi2"}};
    std::vector<Stamp> starts;  // of each file
    std::vector<std::string> paths;
    std::vector<uint64_t> bases;  // where each file begins in the stream, then its size

    bool make(const std::string& stream, const std::vector<double>& seconds_after_t0) {
        const auto bytes = read_file(stream);
        const size_t n = seconds_after_t0.size();
        for (size_t i = 0; i <= n; ++i)
            bases.push_back(i == n ? bytes.size() : bytes.size() * i / n / 1316 * 1316);
        for (size_t i = 0; i < n; ++i) {
            starts.push_back(t0 + Duration(seconds_after_t0[i]));
            paths.push_back(settings.naming.file_name(starts.back()));
            write_file(paths.back(),
                       std::string(bytes.begin() + bases[i], bytes.begin() + bases[i + 1]));
            int status = -1;
            const auto output = run_command(
                shell_quote(tool_path("cv-index")) + " build " + shell_quote(paths.back()),
                &status);
            EXPECT_EQ(status, 0) << output;
            if (status != 0) return false;
        }
        return true;
    }
};

}  // namespace Corvid::Capture::Testing
