#include "tests/support/test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Corvid::Testing {

static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string source_dir() {
    return CORVID_SOURCE_DIR;
}
std::string tool_path(const std::string& name) {
    return CORVID_BINARY_DIR "/bin/" + name;
}

std::string shared_path(const std::string& relative) {
    std::error_code ec;
    auto base = std::filesystem::weakly_canonical(source_dir() + "/../shared", ec);
    if (ec) return "";
    std::string path = (base / relative).string();
    return exists(path) ? path : "";
}

std::string generated_stream(const std::string& name) {
    std::string path = std::string(CORVID_TEST_STREAMS_DIR) + "/" + name;
    return exists(path) ? path : "";
}

bool have_program(const std::string& name) {
    int status = -1;
    run_command("command -v " + shell_quote(name) + " >/dev/null 2>&1", &status);
    return status == 0;
}

std::string shell_quote(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string run_command(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int rc = ::pclose(pipe);
    if (status) *status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    return out;
}

void set_time_zone(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream data;
    data << in.rdbuf();
    const std::string s = data.str();
    return std::vector<uint8_t>(s.begin(), s.end());
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

TempDir::TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvid-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace Corvid::Testing
