// The command line of cv-index: usage, exit status, one-line errors, and what each command prints
// for an index of a real capture, checked against the index blocks and the stream's PCRs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "index2/format.h"
#include "tests/support/test_support.h"
#include "tools/cv-index/tests/oracle_support.h"

namespace Corvid::Tools::Testing {
namespace {

using Corvid::Testing::read_file;
using Corvid::Testing::TempDir;
using Corvid::Testing::write_file;

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A failure: the exit status and exactly one line, naming the tool.
void expect_one_line_error(const std::string& arguments, int expected_status) {
    int status = -1;
    auto lines = split_lines(cv_index(arguments, &status));
    EXPECT_EQ(status, expected_status) << arguments;
    ASSERT_EQ(lines.size(), 1u) << arguments;
    EXPECT_TRUE(lines[0].starts_with("cv-index: ")) << lines[0];
}

TEST(CvIndexCommandLine, HelpAndUsageErrors) {
    int status = -1;
    std::string help = cv_index("--help", &status);
    EXPECT_EQ(status, 0);
    for (const char* command :
         {"build", "dump", "find", "intra", "bitrate", "extract", "--intra", "--data", "-o OUT"})
        EXPECT_NE(help.find(command), std::string::npos) << command;
    for (const char* usage :
         {"", "frobnicate x", "find x.cvi2", "find x.cvi2 ten", "intra x.cvi2 -5",
          "extract a.ts b.cvi2 1", "extract a.ts b.cvi2 -1 -o c.ts", "dump x.cvi2 --verbose",
          "build a.ts -o"})
        expect_one_line_error(usage, 2);
}

TEST(CvIndexCommandLine, FailuresAreOneLine) {
    TempDir dir;
    const std::string text = shell_quote(dir.file("text.cvi2"));
    write_file(dir.file("text.cvi2"), "not an index at all");
    // An index of a stream without video holds only its header.
    const std::string empty_ts = shell_quote(dir.file("empty.ts"));
    write_file(dir.file("empty.ts"), std::string(188 * 10, '\xFF'));
    EXPECT_TRUE(build_index(dir.file("empty.ts"), dir.file("empty.cvi2")).empty());
    const std::string empty = shell_quote(dir.file("empty.cvi2"));
    int status = -1;
    EXPECT_EQ(cv_index("dump " + empty, &status), "CVI2 file, flags 0, block size 256\n");
    EXPECT_EQ(status, 0);

    for (const std::string& failing :
         {"build " + shell_quote(dir.file("missing.ts")), "dump " + text, "bitrate " + text,
          "intra " + text, "find " + text + " 3", "bitrate " + empty, "find " + empty + " 3",
          "extract " + empty_ts + " " + empty + " 0 -o " + shell_quote(dir.file("out.ts"))})
        expect_one_line_error(failing, 1);
}

// Every command on the index of a real capture, checked against the index blocks (whose search,
// listing and dump forms the reader and format tests pin down) and the stream's own PCRs.
TEST(CvIndexOnCapture, CommandsReportWhatTheIndexHolds) {
    CORVID_REQUIRE_SHARED(source, "testdata/ts/video/tsduck-test-025.ts");
    TempDir dir;
    // The default output lands beside the input, so work on a copy.
    const std::string stream = dir.file("capture.ts"), index = stream + ".cvi2";
    std::filesystem::copy_file(source, stream);
    int status = -1;
    std::string output = cv_index("build " + shell_quote(stream), &status);
    ASSERT_EQ(status, 0) << output;
    const auto blocks = build_index(stream, dir.file("again.cvi2"));
    ASSERT_GT(blocks.size(), 10u);
    ASSERT_EQ(read_file(index), read_file(dir.file("again.cvi2"))) << "IN.ts.cvi2 by default";
    auto run = [&](const std::string& command, const std::string& extra = "") {
        int status = -1;
        std::string output = cv_index(command + " " + shell_quote(index) + " " + extra, &status);
        EXPECT_EQ(status, 0) << command << " " << extra << ": " << output;
        return split_lines(output);
    };
    auto count = [](const auto& items, auto predicate) {
        return static_cast<size_t>(std::count_if(items.begin(), items.end(), predicate));
    };

    // dump: one line per block and a "Ref data" line for each reference; with --data a hex dump
    // of each block's inline data, which begins with a transport packet's sync byte.
    auto lines = run("dump"), with_data = run("dump", "--data");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "CVI2 file, flags 0, block size 256");
    const size_t refs = count(blocks, [](auto& b) { return b.ref_length != 0; });
    EXPECT_EQ(count(lines, [](auto& l) { return l.starts_with("Index2 block[256]: NPT "); }),
              blocks.size());
    EXPECT_EQ(count(lines, [](auto& l) { return l.starts_with("  Ref data: "); }), refs);
    EXPECT_EQ(lines.size(), 1 + blocks.size() + refs);
    auto is_data = [](auto& l) { return l.starts_with("  Inline data ("); };
    EXPECT_EQ(count(with_data, is_data), count(blocks, [](auto& b) { return !b.data.empty(); }));
    auto first = std::find_if(with_data.begin(), with_data.end(), is_data);
    ASSERT_LT(first + 1, with_data.end());
    EXPECT_TRUE(first[1].starts_with("    47")) << first[1];

    // intra: every entry; entries are about 0.6 s apart, so with 1 s spacing fewer, in order.
    std::vector<std::string> expected;
    for (const auto& block : blocks) {
        std::ostringstream line;
        line << std::setprecision(15) << "NPT " << block.npt << " offset " << block.offset;
        if (block.has(Index2::kFlagIntra) && block.npt > 0) expected.push_back(line.str());
    }
    ASSERT_GE(expected.size(), 3u);
    EXPECT_EQ(run("intra"), expected);
    auto spaced = run("intra", "1");
    ASSERT_FALSE(spaced.empty());
    EXPECT_LT(spaced.size(), expected.size());
    for (size_t i = 0, k = 0; i < spaced.size(); ++i, ++k) {
        while (k < expected.size() && expected[k] != spaced[i])
            ++k;
        EXPECT_LT(k, expected.size()) << spaced[i];
    }

    // find: the line names the block found; without an intra entry after the target, --intra
    // keeps the covering block.
    const double last = blocks.back().npt;
    for (double target : {0.25, last / 3, last / 2, last - 0.05}) {
        for (const char* intra : {"", " --intra"}) {
            std::ostringstream arguments;
            arguments << target << intra;
            auto found = run("find", arguments.str());
            ASSERT_EQ(found.size(), 1u);
            const std::string& line = found[0];
            double npt = 0;
            unsigned long long offset = 0, position = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "NPT %lf offset %llu block %llu", &npt, &offset,
                                  &position),
                      3)
                << line;
            ASSERT_TRUE(position % 256 == 0 && position >= 256) << line;
            const auto& block = blocks.at(position / 256 - 1);
            EXPECT_EQ(block.offset, offset) << line;
            EXPECT_DOUBLE_EQ(block.npt, npt) << line;
            if (*intra && count(blocks, [&](auto& b) {
                    return b.has(Index2::kFlagIntra) && b.npt >= target;
                })) {
                EXPECT_TRUE(block.has(Index2::kFlagIntra) && npt >= target) << line;
            } else {
                EXPECT_TRUE(block.has(Index2::kFlagNewNpt) && npt <= target) << line;
            }
        }
    }

    // bitrate: the rate the PCRs give, bytes between the first and the last PCR packet over the
    // clock time between them.
    lines = run("bitrate");
    ASSERT_EQ(lines.size(), 1u);
    long rate = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "%ld bit/s", &rate), 1);
    EXPECT_EQ(rate, static_cast<long>(blocks.back().offset * 8 / blocks.back().npt));
    auto pcrs = stream_pcrs(stream);
    ASSERT_GE(pcrs.size(), 2u);
    double pcr_rate =
        (pcrs.back().offset - pcrs.front().offset) * 8.0 / (pcrs.back().pcr - pcrs.front().pcr);
    EXPECT_NEAR(rate, pcr_rate, pcr_rate * 0.1);

    // extract: refused for an entry past the last one and for a stream shorter than the ranges
    // the entry names; otherwise whole packets.
    const size_t entries = count(blocks, [](auto& b) { return b.count != 0 && b.index == 0; });
    write_file(dir.file("short.ts"), std::string(188 * 100, '\0'));
    const std::string rest = " " + shell_quote(index) + " ",
                      out = " -o " + shell_quote(dir.file("out.ts"));
    expect_one_line_error("extract " + shell_quote(stream) + rest + std::to_string(entries) + out,
                          1);
    expect_one_line_error("extract " + shell_quote(dir.file("short.ts")) + rest + "0" + out, 1);
    cv_index("extract " + shell_quote(stream) + rest + "0" + out, &status);
    EXPECT_EQ(status, 0);
    auto bytes = read_file(dir.file("out.ts"));
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.size() % 188, 0u);
    for (size_t at = 0; at < bytes.size(); at += 188)
        EXPECT_EQ(bytes[at], 0x47) << at;
}

}  // namespace
}  // namespace Corvid::Tools::Testing
