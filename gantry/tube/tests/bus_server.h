// The Python bus server tools/cv-bus, run by a test on 127.0.0.1 at a port chosen at run time,
// and its client mode.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/test_support.h"

namespace Corvid::Testing {

class BusServer {
  public:
    // Starts the server with these extra arguments (port 0 unless they name one) and waits for
    // its "listening on" line; port() is 0 if it never came.
    explicit BusServer(const std::string& args = "") {
        int out[2];
        if (::pipe(out) != 0) return;
        const std::string command = tool() + " --port 0 " + args;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // no server left behind by a crashed test
            ::dup2(out[1], 1);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        output_ = ::fdopen(out[0], "r");
        const std::string line = next_line();
        if (line.starts_with("listening on 127.0.0.1:")) port_ = std::stoi(line.substr(23));
    }
    ~BusServer() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
        if (output_) ::fclose(output_);
    }
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Drops every connection and subscription and listens again after --away; returns once back.
    bool bounce() {
        return ::kill(pid_, SIGUSR1) == 0 && next_line() == "away" && next_line() == "back";
    }
    // cv-bus request|send ... against this server; the output, the exit status in *status.
    std::string client(const std::string& arguments, int* status = nullptr) const {
        return run_command(tool() + " --server " + address() + " " + arguments, status);
    }

  private:
    static std::string tool() {
        return "/usr/bin/python3 " + shell_quote(source_dir() + "/tools/cv-bus/cv-bus");
    }
    std::string next_line() {
        char buffer[256];
        if (!output_ || !std::fgets(buffer, sizeof buffer, output_)) return {};
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }

    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    int port_ = 0;
};

}  // namespace Corvid::Testing
