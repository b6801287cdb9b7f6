// The command line of cv-index: usage, exit status, one-line errors, and the commands the oracle
// test does not run, once each on the index of a real capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/test_support.h"

namespace Corvid::Tools::Testing {
namespace {

using Corvid::Testing::shell_quote;

// cv-index with the (shell-quoted) arguments: standard output and error, and the exit status.
std::string cv_index(const std::string& arguments, int* status) {
    return Corvid::Testing::run_command(
        shell_quote(Corvid::Testing::tool_path("cv-index")) + " " + arguments + " 2>&1", status);
}

TEST(CvIndex, UsageFailuresAndEachCommand) {
    CORVID_REQUIRE_SHARED(source, "testdata/ts/video/tsduck-test-025.ts");
    Corvid::Testing::TempDir dir;
    const std::string stream = dir.file("capture.ts"), index = " " + shell_quote(stream + ".cvi2");
    const std::string text = shell_quote(dir.file("text.cvi2"));
    Corvid::Testing::write_file(dir.file("text.cvi2"), "not an index at all");
    Corvid::Testing::write_file(dir.file("short.ts"), std::string(188 * 100, '\0'));
    std::filesystem::copy_file(source, stream);
    int status = -1;
    cv_index("build " + shell_quote(stream), &status);  // writes IN.ts.cvi2
    ASSERT_EQ(status, 0);
    const auto fails = [&](const std::string& arguments, int expected) {
        const std::string out = cv_index(arguments, &status);
        EXPECT_EQ(status, expected) << arguments;
        EXPECT_TRUE(out.starts_with("cv-index: ") && out.find('\n') == out.size() - 1) << out;
    };
    for (const char* usage : {"", "frobnicate x", "find x.cvi2 ten", "intra x.cvi2 -5",
                              "extract a.ts b.cvi2 1", "dump x.cvi2 --verbose", "build a.ts -o"})
        fails(usage, 2);
    for (const std::string& failing :
         {"build " + shell_quote(dir.file("missing.ts")), "dump " + text, "find " + text + " 3",
          "extract " + shell_quote(stream) + index + " 999 -o x.ts",
          "extract " + shell_quote(dir.file("short.ts")) + index + " 0 -o x.ts"})
        fails(failing, 1);
    const auto run = [&](const std::string& arguments) {
        const std::string out = cv_index(arguments, &status);
        EXPECT_EQ(status, 0) << arguments << ": " << out;
        return out;
    };
    const auto lines = [](const std::string& out) {
        return std::count(out.begin(), out.end(), '\n');
    };
    EXPECT_GT(lines(run("--help")), 8);
    const std::string dump = run("dump" + index);
    EXPECT_TRUE(dump.starts_with("CVI2 file, flags 0, block size 256\n"));
    EXPECT_GT(lines(run("dump --data" + index)), lines(dump));  // and the inline bytes
    EXPECT_LT(lines(run("intra" + index + " 1")), lines(run("intra" + index)));
    // "NPT 1.487 offset 984368 block 13568"
    EXPECT_LE(std::stod(run("find" + index + " 1.5").substr(4)), 1.5);
    EXPECT_GE(std::stod(run("find" + index + " 1.5 --intra").substr(4)), 1.5);
    EXPECT_TRUE(run("bitrate" + index).ends_with(" bit/s\n"));
}

}  // namespace
}  // namespace Corvid::Tools::Testing
