// The command line of cv-index: usage, exit status, one-line errors, and what each command prints
// for an index of a real capture, checked against the index blocks and ffprobe.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "index2/format.h"
#include "tests/support/test_support.h"
#include "tools/cv-index/tests/oracle_support.h"

namespace Corvid::Tools::Testing {
namespace {

using Corvid::Testing::read_file;
using Corvid::Testing::shell_quote;
using Corvid::Testing::TempDir;
using Corvid::Testing::write_file;

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// A failure: non-zero status and exactly one line, naming the tool.
void expect_one_line_error(const std::string& arguments, int expected_status) {
    int status = -1;
    std::string output = cv_index(arguments, &status);
    EXPECT_EQ(status, expected_status) << arguments << ": " << output;
    auto lines = split_lines(output);
    ASSERT_EQ(lines.size(), 1u) << arguments << ": " << output;
    EXPECT_EQ(lines[0].rfind("cv-index: ", 0), 0u) << lines[0];
}

TEST(CvIndexCommandLine, HelpAndUsageErrors) {
    int status = -1;
    std::string help = cv_index("--help", &status);
    EXPECT_EQ(status, 0);
    for (const char* command :
         {"build", "dump", "find", "intra", "bitrate", "extract", "--intra", "--data", "-o OUT"})
        EXPECT_NE(help.find(command), std::string::npos) << command;

    expect_one_line_error("", 2);
    expect_one_line_error("frobnicate x", 2);
    expect_one_line_error("find x.cvi2", 2);
    expect_one_line_error("find x.cvi2 ten", 2);
    expect_one_line_error("intra x.cvi2 -5", 2);
    expect_one_line_error("extract a.ts b.cvi2 1", 2);
    expect_one_line_error("extract a.ts b.cvi2 -1 -o c.ts", 2);
    expect_one_line_error("dump x.cvi2 --verbose", 2);
    expect_one_line_error("build a.ts -o", 2);
}

TEST(CvIndexCommandLine, FailuresAreOneLine) {
    TempDir dir;
    expect_one_line_error("build " + shell_quote(dir.file("missing.ts")), 1);
    write_file(dir.file("text.cvi2"), "not an index at all");
    for (const char* command : {"dump", "bitrate", "intra"})
        expect_one_line_error(std::string(command) + " " + shell_quote(dir.file("text.cvi2")), 1);
    expect_one_line_error("find " + shell_quote(dir.file("text.cvi2")) + " 3", 1);

    // An index of a stream without video holds only its header.
    write_file(dir.file("empty.ts"), std::string(188 * 10, '\xFF'));
    int status = -1;
    cv_index("build " + shell_quote(dir.file("empty.ts")), &status);
    ASSERT_EQ(status, 0);
    std::string index = dir.file("empty.ts.cvi2");
    EXPECT_EQ(read_file(index).size(), 256u);
    EXPECT_EQ(cv_index("dump " + shell_quote(index), &status),
              "CVI2 file, flags 0, block size 256\n");
    EXPECT_EQ(status, 0);
    expect_one_line_error("bitrate " + shell_quote(index), 1);
    expect_one_line_error("find " + shell_quote(index) + " 3", 1);
    expect_one_line_error("extract " + shell_quote(dir.file("empty.ts")) + " " +
                              shell_quote(index) + " 0 -o " + shell_quote(dir.file("out.ts")),
                          1);
}

class CvIndexOnCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        source_ = Corvid::Testing::shared_path("testdata/ts/video/tsduck-test-025.ts");
        if (source_.empty()) GTEST_SKIP() << "shared test data not found: tsduck-test-025.ts";
        // The default output lands beside the input, so work on a copy.
        stream_ = dir_.file("capture.ts");
        auto bytes = read_file(source_);
        write_file(stream_, std::string(bytes.begin(), bytes.end()));
        int status = -1;
        std::string output = cv_index("build " + shell_quote(stream_), &status);
        ASSERT_EQ(status, 0) << output;
        index_ = stream_ + ".cvi2";
        blocks_ = index_blocks(index_);
        ASSERT_GT(blocks_.size(), 10u);
    }

    std::string run(const std::string& arguments) {
        int status = -1;
        std::string output = cv_index(arguments, &status);
        EXPECT_EQ(status, 0) << arguments << ": " << output;
        return output;
    }

    TempDir dir_;
    std::string source_, stream_, index_;
    std::vector<Index2::Block> blocks_;
};

TEST_F(CvIndexOnCapture, DumpShowsHeaderAndEveryBlock) {
    auto lines = split_lines(run("dump " + shell_quote(index_)));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "CVI2 file, flags 0, block size 256");
    size_t block_lines = 0, intra_lines = 0, ref_lines = 0;
    for (const auto& line : lines) {
        if (line.rfind("Index2 block[256]: NPT ", 0) == 0) ++block_lines;
        if (line.find(" INTRA") != std::string::npos) ++intra_lines;
        if (line.rfind("  Ref data: ", 0) == 0) ++ref_lines;
    }
    size_t intra = 0, refs = 0;
    for (const auto& block : blocks_) {
        intra += block.has(Index2::kFlagIntra);
        refs += block.ref_length != 0;
    }
    EXPECT_EQ(block_lines, blocks_.size());
    EXPECT_EQ(intra_lines, intra);
    EXPECT_EQ(ref_lines, refs);
    EXPECT_EQ(lines.size(), 1 + blocks_.size() + refs);

    auto with_data = split_lines(run("dump " + shell_quote(index_) + " --data"));
    size_t data_lines = 0;
    for (const auto& line : with_data)
        data_lines += line.rfind("  Inline data (", 0) == 0;
    size_t with_inline = 0;
    for (const auto& block : blocks_)
        with_inline += !block.data.empty();
    EXPECT_EQ(data_lines, with_inline);
    // Inline data begins with a transport packet: the hex dump starts with the sync byte 0x47.
    for (size_t i = 0; i + 1 < with_data.size(); ++i) {
        if (with_data[i].rfind("  Inline data (", 0) != 0) continue;
        EXPECT_EQ(with_data[i + 1].rfind("    47", 0), 0u) << with_data[i + 1];
        break;
    }
}

TEST_F(CvIndexOnCapture, IntraListsEntriesAtTheirSpacing) {
    std::vector<std::pair<double, uint64_t>> intra;
    for (const auto& block : blocks_)
        if (block.has(Index2::kFlagIntra) && block.npt > 0)
            intra.emplace_back(block.npt, block.offset);
    ASSERT_GE(intra.size(), 3u);
    auto lines = split_lines(run("intra " + shell_quote(index_)));
    ASSERT_EQ(lines.size(), intra.size());
    for (size_t i = 0; i < intra.size(); ++i) {
        double npt = 0;
        unsigned long long offset = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "NPT %lf offset %llu", &npt, &offset), 2)
            << lines[i];
        EXPECT_DOUBLE_EQ(npt, intra[i].first);
        EXPECT_EQ(offset, intra[i].second);
    }
    // Entries about 0.6 s apart: with 1 s spacing the thresholds are 0, 1, 2 ...
    auto spaced = split_lines(run("intra " + shell_quote(index_) + " 1"));
    ASSERT_FALSE(spaced.empty());
    EXPECT_LT(spaced.size(), intra.size());
    double previous = -1;
    for (const auto& line : spaced) {
        double npt = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "NPT %lf", &npt), 1);
        EXPECT_GT(npt, previous);
        previous = npt;
    }
}

TEST_F(CvIndexOnCapture, FindNamesTheBlockThatCoversTheNpt) {
    const double last = blocks_.back().npt;
    for (double target : {0.25, last / 3, last / 2, last - 0.05}) {
        for (bool intra : {false, true}) {
            std::ostringstream arguments;
            arguments << "find " << shell_quote(index_) << " " << target
                      << (intra ? " --intra" : "");
            auto lines = split_lines(run(arguments.str()));
            ASSERT_EQ(lines.size(), 1u);
            double npt = 0;
            unsigned long long offset = 0, position = 0;
            ASSERT_EQ(std::sscanf(lines[0].c_str(), "NPT %lf offset %llu block %llu", &npt, &offset,
                                  &position),
                      3)
                << lines[0];
            ASSERT_EQ(position % 256, 0u);
            ASSERT_GE(position, 256u);
            const auto& block = blocks_.at(position / 256 - 1);
            EXPECT_EQ(block.offset, offset) << lines[0];
            EXPECT_DOUBLE_EQ(block.npt, npt) << lines[0];
            bool later_intra = false;
            for (const auto& b : blocks_)
                later_intra |= b.has(Index2::kFlagIntra) && b.npt >= target;
            if (intra && later_intra) {
                EXPECT_TRUE(block.has(Index2::kFlagIntra)) << lines[0];
                EXPECT_GE(npt, target) << lines[0];
            } else {
                // Without an intra entry after the target, --intra keeps the covering block.
                EXPECT_LE(npt, target) << lines[0];
                EXPECT_TRUE(block.has(Index2::kFlagNewNpt)) << lines[0];
            }
        }
    }
}

// The rate the PCRs of the stream give: bytes between the first and the last PCR packet over the
// clock time between them.
TEST_F(CvIndexOnCapture, BitRateAgreesWithThePcrClock) {
    auto lines = split_lines(run("bitrate " + shell_quote(index_)));
    ASSERT_EQ(lines.size(), 1u);
    long rate = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "%ld bit/s", &rate), 1);
    const auto& last = blocks_.back();
    EXPECT_EQ(rate, static_cast<long>(last.offset * 8 / last.npt));
    auto pcrs = stream_pcrs(stream_);
    ASSERT_GE(pcrs.size(), 2u);
    double pcr_rate =
        (pcrs.back().offset - pcrs.front().offset) * 8.0 / (pcrs.back().pcr - pcrs.front().pcr);
    EXPECT_NEAR(rate, pcr_rate, pcr_rate * 0.1);
}

TEST_F(CvIndexOnCapture, ExtractRefusesMissingEntriesAndForeignStreams) {
    size_t entries = 0;
    for (const auto& block : blocks_)
        entries += block.count != 0 && block.index == 0;
    std::string out = dir_.file("out.ts");
    expect_one_line_error("extract " + shell_quote(stream_) + " " + shell_quote(index_) + " " +
                              std::to_string(entries) + " -o " + shell_quote(out),
                          1);
    // A stream shorter than the ranges the entry names.
    write_file(dir_.file("short.ts"), std::string(188 * 100, '\0'));
    expect_one_line_error("extract " + shell_quote(dir_.file("short.ts")) + " " +
                              shell_quote(index_) + " 0 -o " + shell_quote(out),
                          1);
    run("extract " + shell_quote(stream_) + " " + shell_quote(index_) + " 0 -o " +
        shell_quote(out));
    auto bytes = read_file(out);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.size() % 188, 0u);
    for (size_t at = 0; at < bytes.size(); at += 188)
        EXPECT_EQ(bytes[at], 0x47) << at;
}

}  // namespace
}  // namespace Corvid::Tools::Testing
