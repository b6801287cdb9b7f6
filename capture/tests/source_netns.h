// Test helpers for what captures and the program receive. CORVID_IN_NETNS re-runs the current test
// in a private network namespace whose loopback carries the test groups, and expects it to pass
// there; inside, the test goes on. Streams go out in seven-packet datagrams, paced for the
// receiver's buffer.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gantry/net/tcp_socket.h"
#include "gantry/net/udp_socket.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {

// Why the test cannot run in a namespace, or "" once it has run there.
inline std::string run_in_netns() {
    int status = -1;
    Testing::run_command("unshare -n true 2>/dev/null", &status);
    if (status != 0) return "this sandbox forbids private network namespaces (unshare -n)";
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string inner =
        "ip link set lo up && ip route add 239.0.0.0/8 dev lo && CORVID_SOURCE_NETNS=1 exec " +
        Testing::shell_quote(std::filesystem::read_symlink("/proc/self/exe")) +
        " --gtest_filter=" + test->test_suite_name() + "." + test->name();
    const std::string output =
        Testing::run_command("unshare -n sh -c " + Testing::shell_quote(inner) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    return "";
}

#define CORVID_IN_NETNS()                                          \
    if (!std::getenv("CORVID_SOURCE_NETNS")) {                     \
        CORVID_REQUIRE_PROGRAM("ip");                              \
        const std::string why = ::Corvid::Capture::run_in_netns(); \
        if (!why.empty()) GTEST_SKIP() << why;                     \
        return;                                                    \
    }

inline bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500 && !condition(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// A port free on 127.0.0.1 a moment ago, for a program that takes its ports from a configuration.
inline uint16_t free_port(bool tcp = false) {
    const Gantry::Net::IPAddress local("127.0.0.1");
    if (!tcp) return Gantry::Net::UDPSocket(local, 0).local_end_point().port();
    Gantry::Net::TCPSocket probe;
    probe.bind(local, 0);
    return probe.local_end_point().port();
}

inline std::vector<std::vector<uint8_t>> datagrams_of(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at < stream.size(); at += 1316)
        out.emplace_back(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 1316));
    return out;
}

inline void send_all(const std::vector<std::vector<uint8_t>>& datagrams,
                     const Gantry::Net::EndPoint& to) {
    Gantry::Net::UDPSocket socket;
    for (size_t i = 0; i < datagrams.size(); i++) {
        socket.send_to(datagrams[i].data(), datagrams[i].size(), 0, to);
        if (i % 32 == 31) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

}  // namespace Corvid::Capture
