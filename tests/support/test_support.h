// Test-only helpers: locating the shared test data beside the repository, scratch folders and
// running external programs whose output serves as an oracle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Corvid::Testing {

// Absolute path of a file or folder below ../shared (seen from the repository root), or "" if it
// is not there.
std::string shared_path(const std::string& relative);

// Absolute path of a stream made by make-test-streams for this build folder, or "" if absent.
std::string generated_stream(const std::string& name);

std::string source_dir();
// build/bin, where the command-line tools are.
std::string tool_path(const std::string& name);

// True if the program can be found on PATH.
bool have_program(const std::string& name);

// Runs a shell command and returns its standard output; *status receives the exit status (or -1).
std::string run_command(const std::string& command, int* status = nullptr);

// Quotes a word for the shell.
std::string shell_quote(const std::string& word);

// Sets the process time zone for local-time tests (a POSIX TZ string such as "EST5" needs no
// zone database).
void set_time_zone(const char* tz);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace Corvid::Testing

// Skips the current test, naming what is missing, unless the shared file exists; sets var to its
// path.
#define CORVID_REQUIRE_SHARED(var, relative)                          \
    const std::string var = ::Corvid::Testing::shared_path(relative); \
    if (var.empty()) GTEST_SKIP() << "shared test data not found: ../shared/" << (relative)

#define CORVID_REQUIRE_STREAM(var, name)                               \
    const std::string var = ::Corvid::Testing::generated_stream(name); \
    if (var.empty())                                                   \
    GTEST_SKIP() << "generated stream " << (name)                      \
                 << " not found (needs ffmpeg and ../shared/tools/make-test-streams)"

#define CORVID_REQUIRE_PROGRAM(name) \
    if (!::Corvid::Testing::have_program(name)) GTEST_SKIP() << (name) << " is not installed"
