#include <gtest/gtest.h>

#include "gantry/channel/block.h"
#include "indexgen/indexgen.h"
#include "mpeg/crc32.h"
#include "mpeg/pmt.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;

// The packets of one PID, parsed, with the raw bytes beside them.
struct Raw {
    MPEG::TSPacket packet;
    std::string bytes;
};

std::vector<Raw> packets_of(const std::string& path, uint16_t pid) {
    const auto file = Corvid::Testing::read_file(path);
    std::vector<Raw> out;
    for (size_t at = 0; at + 188 <= file.size(); at += 188) {
        Raw raw;
        Gantry::Channel::BlockReader reader(file.data() + at, 188);
        if (!MPEG::TSPacket::read(reader, raw.packet) || raw.packet.pid != pid) continue;
        raw.bytes.assign(file.begin() + static_cast<ptrdiff_t>(at),
                         file.begin() + static_cast<ptrdiff_t>(at + 188));
        out.push_back(std::move(raw));
    }
    return out;
}

// The section a single-packet PSI packet carries: after the pointer field, section_length + 3.
std::string section_in(const std::string& packet) {
    const size_t start = 5 + static_cast<uint8_t>(packet[4]);
    return packet.substr(start, ((packet[start + 1] & 0x0F) << 8 | uint8_t(packet[start + 2])) + 3);
}

// tsduck-test-030 carries a one-packet CAT (version 8) with four CA descriptors. Re-emitted, it is
// the same section, byte for byte; a CAT with a bad CRC, or not valid yet (current_next 0), is not
// kept.
TEST(CAPackets, CatOfARealCaptureIsReEmittedUnchanged) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-030.ts");
    const auto cat_packets = packets_of(path, 1);
    ASSERT_EQ(cat_packets.size(), 35u);
    LogCapture log;
    CAPackets ca;
    auto broken = cat_packets[0].packet;
    broken.payload[20] ^= 0x01;
    ca.handle_cat(broken);
    // Not valid yet: current_next 0, with its CRC made good.
    auto pending = cat_packets[0].packet;
    uint8_t* section = pending.payload.data() + 1 + pending.payload[0];
    const size_t length = ((section[1] & 0x0F) << 8 | section[2]) + 3 - 4;
    section[5] &= 0xFE;
    const uint32_t crc = MPEG::crc32_mpeg2(section, length);
    for (size_t i = 0; i < 4; ++i)
        section[length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    ca.handle_cat(pending);
    EXPECT_TRUE(ca.cat_packets().empty());

    for (const Raw& raw : cat_packets)
        ca.handle_cat(raw.packet);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"2 Found CAT"});
    const std::string ours = ca.cat_packets();
    ASSERT_EQ(ours.size(), 188u);
    EXPECT_EQ(ours.substr(0, 3), std::string("\x47\x40\x01", 3));  // PUSI, PID 1
    EXPECT_EQ(section_in(ours), section_in(cat_packets.back().bytes));
}

// The CA PID of the PMT: tsduck-test-018's PMT (program 1, PID 0x100, in two packets) has no
// program-level CA descriptor, but its video stream 0x654 carries 09 04 18 3d ea 29: system
// 0x183d, PID 0xea29 & 0x1fff = 0x0a29; and 09 04 18 3e f5 2d: PID 0x152d.
TEST(CAPackets, CaPidFromTheDescriptorsOfARealPmt) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/misc/tsduck-test-018.ts");
    MPEG::PMTReader reader;
    MPEG::PMT pmt;
    bool found = false;
    for (const Raw& raw : packets_of(path, 0x100)) {
        reader.add(raw.packet);
        if ((found = reader.read(pmt) == MPEG::TableReader::complete)) break;
    }
    ASSERT_TRUE(found);
    EXPECT_FALSE(find_ca_pid(pmt.descriptors).has_value());
    ASSERT_FALSE(pmt.streams.empty());
    EXPECT_EQ(pmt.streams[0].pid, 0x654);
    ASSERT_EQ(pmt.streams[0].descriptors.size(), 2u);
    EXPECT_EQ(find_ca_pid(pmt.streams[0].descriptors), std::optional<uint16_t>(0x0A29));
    EXPECT_EQ(ca_pid_of(pmt.streams[0].descriptors[1]), std::optional<uint16_t>(0x152D));

    // tsduck-test-030's CAT: 09 07 18 11 f4 49 02 fe 22 (three bytes of private data).
    const MPEG::Descriptor with_private{9, {0x18, 0x11, 0xF4, 0x49, 0x02, 0xFE, 0x22}};
    EXPECT_EQ(ca_pid_of(with_private), std::optional<uint16_t>(0x1449));
    EXPECT_FALSE(ca_pid_of(MPEG::Descriptor{9, {0x18, 0x11, 0xF4}}).has_value());
    EXPECT_FALSE(ca_pid_of(MPEG::Descriptor{10, {0x18, 0x11, 0xF4, 0x49}}).has_value());
}

// Only the latest CA packet is kept, exactly as it was sent; the first one is logged once.
TEST(CAPackets, LatestCaPacketIsKeptAsSent) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/misc/tsduck-test-018.ts");
    // Any real packets do: those of PID 0x1ec5 stand in for an ECM stream here.
    const auto stream = packets_of(path, 0x1EC5);
    ASSERT_EQ(stream.size(), 2u);
    LogCapture log;
    CAPackets ca;
    ca.set_ca_pid(0x1EC5);
    for (const Raw& raw : stream) {
        ca.handle_ca(raw.packet);
        EXPECT_EQ(ca.ca_packets(), raw.bytes);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{"2 Capturing CA data from PID: 7877"});
}

}  // namespace
}  // namespace Corvid::IndexGen
