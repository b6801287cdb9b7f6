// Helpers for the tests of what captures receive: re-running a test in a private network
// namespace, sending a stream in datagrams and wrapping it in RTP.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gantry/net/udp_socket.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {

constexpr const char* SOURCE_NETNS = "CORVID_SOURCE_NETNS";
// Loopback carries the test groups; a bridge and a tap give two more interfaces.
inline const std::string LOOPBACK_GROUPS = "ip link set lo up && ip route add 239.0.0.0/8 dev lo";
inline const std::string TWO_INTERFACES =
    "ip link set lo up && ip link add br0 type bridge && ip tuntap add dev tap1 mode tap && "
    "ip addr add 10.1.0.1/24 dev br0 && ip addr add 10.1.0.2/24 dev br0 && "
    "ip addr add 10.2.0.1/24 dev tap1 && ip link set br0 up && ip link set tap1 up";

// Outside the namespace, runs the current test inside one set up by setup and expects it to pass;
// inside, does nothing. Tells which by the flag.
#define CORVID_IN_NETNS(setup)                                                 \
    if (!std::getenv(::Corvid::Capture::SOURCE_NETNS)) {                       \
        CORVID_REQUIRE_PROGRAM("unshare");                                     \
        CORVID_REQUIRE_PROGRAM("ip");                                          \
        if (!::Corvid::Capture::netns_allowed())                               \
            GTEST_SKIP() << "this sandbox forbids private network namespaces"; \
        ::Corvid::Capture::expect_passes_in_netns(setup);                      \
        return;                                                                \
    }

inline bool netns_allowed() {
    int status = -1;
    Testing::run_command("unshare -n true 2>/dev/null", &status);
    return status == 0;
}

inline void expect_passes_in_netns(const std::string& setup) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string inner =
        setup + " && " + SOURCE_NETNS + "=1 exec " +
        Testing::shell_quote(std::filesystem::read_symlink("/proc/self/exe")) +
        " --gtest_filter=" + test->test_suite_name() + "." + test->name();
    int status = -1;
    const std::string output =
        Testing::run_command("unshare -n sh -c " + Testing::shell_quote(inner) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

inline bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 300 && !condition(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// The stream in datagrams of up to seven packets.
inline std::vector<std::vector<uint8_t>> datagrams_of(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at < stream.size(); at += 7 * 188)
        out.emplace_back(stream.begin() + at,
                         stream.begin() + std::min(stream.size(), at + 7 * 188));
    return out;
}

// Sends with a pause now and then, so that the receiver's socket buffer never overflows.
inline void send_all(Gantry::Net::UDPSocket& socket, const Gantry::Net::EndPoint& to,
                     const std::vector<std::vector<uint8_t>>& datagrams) {
    for (size_t i = 0; i < datagrams.size(); i++) {
        socket.send_to(datagrams[i].data(), datagrams[i].size(), 0, to);
        if (i % 32 == 31) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

// An RTP datagram around payload: payload type 33, csrcs CSRC entries, and a header extension of
// extension words when that is not negative, and padding bytes.
inline std::vector<uint8_t> rtp_datagram(const std::vector<uint8_t>& payload, uint16_t sequence,
                                         int csrcs = 0, int extension = -1, int padding = 0) {
    std::vector<uint8_t> out = {
        uint8_t(0x80 | (padding ? 0x20 : 0) | (extension >= 0 ? 0x10 : 0) | csrcs),
        33,
        uint8_t(sequence >> 8),
        uint8_t(sequence),
        0,
        0,
        0,
        90,
        0x12,
        0x34,
        0x56,
        0x78};
    out.resize(out.size() + 4 * csrcs, 0xC5);
    if (extension >= 0) {
        out.insert(out.end(), {0xAB, 0xCD, 0, uint8_t(extension)});
        out.resize(out.size() + 4 * extension, 0xEE);
    }
    out.insert(out.end(), payload.begin(), payload.end());
    for (int i = 1; i <= padding; i++)
        out.push_back(i == padding ? uint8_t(padding) : 0);
    return out;
}

}  // namespace Corvid::Capture
