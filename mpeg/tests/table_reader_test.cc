#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using Corvid::Testing::read_file;

namespace {

// Accepts the table ids given; long sections as the EIT has them.
class AnyTableReader : public MPEG::TableReader {
  public:
    AnyTableReader(uint8_t low, uint8_t high, size_t max = 4093)
        : low_(low), high_(high), max_(max) {}
    size_t max_section_length() const override { return max_; }
    bool accepts_table_id(uint8_t id) const override { return id >= low_ && id <= high_; }

  private:
    uint8_t low_, high_;
    size_t max_;
};

// A long-header section (no pointer field) with a correct CRC.
std::vector<uint8_t> make_section(uint8_t table_id, uint16_t extension, size_t body_length,
                                  uint8_t fill = 0x5A) {
    std::vector<uint8_t> body(body_length, fill);
    MPEG::SectionHeader h;
    h.table_id = table_id;
    h.table_id_extension = extension;
    h.version = 3;
    h.current_next = true;
    std::vector<uint8_t> out;
    EXPECT_TRUE(MPEG::finish_section(h, body.data(), body.size(), out, 4093));
    out.erase(out.begin());  // pointer field
    return out;
}

MPEG::TSPacket start_packet(bool pusi = true) {
    MPEG::TSPacket p;
    p.payload_unit_start = pusi;
    return p;
}

struct Section {
    MPEG::TableReader::Result result;
    MPEG::SectionHeader header;
    std::vector<uint8_t> bytes;  // whole section when complete
    std::vector<uint8_t> body;
};

Section next(MPEG::TableReader& reader) {
    Section s;
    size_t total = 0, length = 0;
    const uint8_t* data = nullptr;
    s.result = reader.read_section(s.header, total, data, length);
    if (s.result == MPEG::TableReader::complete) {
        s.body.assign(data, data + length);
        const uint8_t* end = data + length + 4;  // the CRC follows the body
        s.bytes.assign(end - total, end);
        reader.consume(total);
    }
    return s;
}

}  // namespace

TEST(Crc32Mpeg2, CatalogueCheckValueAndSectionResidue) {
    const char* check = "123456789";
    EXPECT_EQ(MPEG::crc32_mpeg2(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
    EXPECT_EQ(MPEG::crc32_mpeg2(nullptr, 0), 0xFFFFFFFFu);
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-pat.bin");
    auto pat = read_file(path);
    EXPECT_EQ(MPEG::crc32_mpeg2(pat.data(), pat.size()), 0u);  // a section with its CRC checks to 0
    const uint32_t split =
        MPEG::crc32_mpeg2(pat.data() + 10, pat.size() - 10, MPEG::crc32_mpeg2(pat.data(), 10));
    EXPECT_EQ(split, 0u);
}

TEST(TableReaderAssembly, SectionOverThreePacketsNeedsItsStart) {
    auto section = make_section(0x4E, 0x1234, 400);
    // Pointer field 0, then the section over three payloads.
    std::vector<uint8_t> stream = {0x00};
    stream.insert(stream.end(), section.begin(), section.end());
    stream.resize(3 * 184, 0xFF);
    AnyTableReader reader(0x4E, 0x4E);
    // A continuation packet before any start is ignored.
    EXPECT_FALSE(reader.add(start_packet(false), stream.data() + 184, 184));
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_TRUE(reader.add(start_packet(true), stream.data(), 184));
    EXPECT_EQ(next(reader).result, MPEG::TableReader::need_more);
    EXPECT_TRUE(reader.add(start_packet(false), stream.data() + 184, 184));
    EXPECT_EQ(next(reader).result, MPEG::TableReader::need_more);
    EXPECT_TRUE(reader.add(start_packet(false), stream.data() + 368, 184));
    Section s = next(reader);
    ASSERT_EQ(s.result, MPEG::TableReader::complete);
    EXPECT_EQ(s.bytes, section);
    EXPECT_EQ(s.header.table_id, 0x4E);
    EXPECT_EQ(s.header.table_id_extension, 0x1234);
    EXPECT_EQ(s.header.version, 3);
    EXPECT_TRUE(s.header.current_next);
    EXPECT_EQ(s.body, std::vector<uint8_t>(400, 0x5A));
    EXPECT_EQ(next(reader).result, MPEG::TableReader::need_more);  // only stuffing was left
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(TableReaderAssembly, PointerFieldSkipsTheTailOfThePreviousSection) {
    auto first = make_section(0x42, 1, 300);
    auto second = make_section(0x42, 2, 20);
    AnyTableReader reader(0x42, 0x42);
    std::vector<uint8_t> p1 = {0x00};
    p1.insert(p1.end(), first.begin(), first.begin() + 183);
    ASSERT_TRUE(reader.add(start_packet(), p1.data(), p1.size()));
    // Second packet: the pointer field says where the next section starts, after first's tail.
    const size_t tail = first.size() - 183;
    std::vector<uint8_t> p2 = {static_cast<uint8_t>(tail)};
    p2.insert(p2.end(), first.begin() + 183, first.end());
    p2.insert(p2.end(), second.begin(), second.end());
    p2.resize(184, 0xFF);
    ASSERT_TRUE(reader.add(start_packet(), p2.data(), p2.size()));
    EXPECT_EQ(next(reader).bytes, first);
    EXPECT_EQ(next(reader).bytes, second);
    EXPECT_EQ(next(reader).result, MPEG::TableReader::need_more);

    // On a fresh reader the same packet starts at the pointer, dropping the tail.
    AnyTableReader fresh(0x42, 0x42);
    ASSERT_TRUE(fresh.add(start_packet(), p2.data(), p2.size()));
    EXPECT_EQ(next(fresh).bytes, second);
}

// (0xFF + 1) mod 256 = 0: nothing is skipped, and the 0xFF itself is taken as stuffing.
TEST(TableReaderAssembly, PointerFieldOf255SkipsNothing) {
    auto section = make_section(0x00, 7, 8);
    std::vector<uint8_t> payload = {0xFF};
    payload.insert(payload.end(), section.begin(), section.end());
    AnyTableReader reader(0x00, 0x00);
    ASSERT_TRUE(reader.add(start_packet(), payload.data(), payload.size()));
    EXPECT_EQ(next(reader).bytes, section);
}

TEST(TableReaderAssembly, PointerFieldPastThePayloadIsRefused) {
    std::vector<uint8_t> payload = {10, 1, 2, 3};
    AnyTableReader reader(0x00, 0xFF);
    EXPECT_FALSE(reader.add(start_packet(), payload.data(), payload.size()));
    EXPECT_FALSE(reader.started());
    EXPECT_FALSE(reader.add(start_packet(), payload.data(), 0));
    payload[0] = 3;  // exactly to the end: started, nothing buffered
    EXPECT_TRUE(reader.add(start_packet(), payload.data(), payload.size()));
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(TableReaderRejects, WrongCrcDropsEverythingBufferedAfterIt) {
    auto bad = make_section(0x4E, 1, 30);
    bad[20] ^= 0x01;
    auto good = make_section(0x4E, 2, 30);
    std::vector<uint8_t> payload = {0x00};
    payload.insert(payload.end(), bad.begin(), bad.end());
    payload.insert(payload.end(), good.begin(), good.end());
    AnyTableReader reader(0x4E, 0x4E);
    ASSERT_TRUE(reader.add(start_packet(), payload.data(), payload.size()));
    EXPECT_EQ(next(reader).result, MPEG::TableReader::discarded);
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_FALSE(reader.started());
    EXPECT_EQ(next(reader).result, MPEG::TableReader::need_more);
    // Until the next start, continuation packets are ignored.
    EXPECT_FALSE(reader.add(start_packet(false), payload.data(), payload.size()));
}

TEST(TableReaderRejects, TableIdAndSectionLengthOutOfRange) {
    AnyTableReader reader(0x4E, 0x4E, 1021);
    auto feed = [&](std::vector<uint8_t> section) {
        reader.reset();
        section.insert(section.begin(), 0x00);
        reader.add(start_packet(), section.data(), section.size());
        return next(reader);
    };
    Section s = feed(make_section(0x50, 1, 10));
    EXPECT_EQ(s.result, MPEG::TableReader::discarded);
    EXPECT_EQ(s.header.table_id, 0x50);
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_EQ(feed({0x4E, 0xB0, 0x03, 0, 0, 0}).result, MPEG::TableReader::discarded);
    EXPECT_EQ(feed(make_section(0x4E, 1, 1021 - 9 + 1)).result, MPEG::TableReader::discarded);
    EXPECT_EQ(feed(make_section(0x4E, 1, 1021 - 9)).result, MPEG::TableReader::complete);
    // Three bytes are enough to reject; fewer wait for more.
    EXPECT_EQ(feed({0x4E, 0xB0}).result, MPEG::TableReader::need_more);
}

// A long-header section needs section_length >= 9 (5 header bytes and the CRC). With 5..8 the body
// length would come out negative and the reader would hand out a huge length into its buffer.
TEST(TableReaderRejects, LongHeaderSectionShorterThanHeaderAndCrc) {
    for (uint8_t length = 4; length <= 8; ++length) {
        std::vector<uint8_t> bytes = {0x00, 0x4E, 0xB0, length};
        std::vector<uint8_t> rest(length, 0);
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        // Give it a correct CRC in its last 4 bytes so that only the length can reject it.
        const uint32_t crc = MPEG::crc32_mpeg2(bytes.data() + 1, bytes.size() - 5);
        for (int k = 0; k < 4; ++k)
            bytes[bytes.size() - 4 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
        AnyTableReader reader(0x4E, 0x4E);
        ASSERT_TRUE(reader.add(start_packet(), bytes.data(), bytes.size()));
        EXPECT_EQ(next(reader).result, MPEG::TableReader::discarded)
            << "section_length " << int(length);
    }
    // Without a long header, 4 bytes (the CRC alone) is a valid empty section.
    class ShortReader : public AnyTableReader {
      public:
        ShortReader() : AnyTableReader(0x70, 0x70) {}
        bool has_long_header() const override { return false; }
    } short_reader;
    std::vector<uint8_t> tdt = {0x00, 0x70, 0x30, 0x04, 0, 0, 0, 0};
    const uint32_t crc = MPEG::crc32_mpeg2(tdt.data() + 1, 3);
    for (int k = 0; k < 4; ++k)
        tdt[4 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
    ASSERT_TRUE(short_reader.add(start_packet(), tdt.data(), tdt.size()));
    Section s = next(short_reader);
    EXPECT_EQ(s.result, MPEG::TableReader::complete);
    EXPECT_TRUE(s.body.empty());
}

// A caller that never reads, or garbage that never forms a section, must not grow the buffer
// without bound: past one maximal section plus a packet the reader starts again.
TEST(TableReaderRejects, BufferIsBoundedWhenSectionsNeverComplete) {
    AnyTableReader reader(0x4E, 0x4E, 1021);
    std::vector<uint8_t> payload(184, 0x4E);
    payload[0] = 0;
    const size_t bound = 1021 + 3 + 184;
    ASSERT_TRUE(reader.add(start_packet(), payload.data(), payload.size()));
    for (int i = 0; i < 100; ++i) {
        reader.add(start_packet(i % 7 == 0), payload.data(), payload.size());
        EXPECT_LE(reader.buffered(), bound);
    }
    // A start packet arriving at the bound begins a new section rather than being lost.
    AnyTableReader full(0x4E, 0x4E, 1021);
    ASSERT_TRUE(full.add(start_packet(), payload.data(), payload.size()));
    while (full.buffered() + 184 <= bound)
        full.add(start_packet(false), payload.data(), 184);
    auto section = make_section(0x4E, 9, 50);
    std::vector<uint8_t> start = {0x00};
    start.insert(start.end(), section.begin(), section.end());
    start.resize(184, 0xFF);
    EXPECT_TRUE(full.add(start_packet(), start.data(), start.size()));
    EXPECT_EQ(next(full).bytes, section);
}

// The EIT packets of a real capture with five corrupt packets: the Huffman-coded section listed in
// the capture notes comes out exactly as the reference copy, and the buffer stays bounded.
TEST(TableReaderRealData, CorruptCaptureStillYieldsTheReferenceSection) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-142.ts");
    CORVID_REQUIRE_SHARED(reference_path,
                          "testdata/sections/tsduck-test-142.eit-4f-freesat-huffman.bin");
    auto data = read_file(path);
    auto reference = read_file(reference_path);
    AnyTableReader reader(0x4E, 0x6F);
    MPEG::TSPacket packet;
    size_t complete = 0, found = 0;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        Channel::BlockReader r(data.data() + at, 188);
        if (!MPEG::TSPacket::read(r, packet) || packet.pid != 0x12) continue;
        reader.add(packet);
        ASSERT_LE(reader.buffered(), 4093u + 3 + 184);
        for (;;) {
            Section s = next(reader);
            if (s.result == MPEG::TableReader::need_more) break;
            if (s.result != MPEG::TableReader::complete) continue;
            ++complete;
            EXPECT_EQ(MPEG::crc32_mpeg2(s.bytes.data(), s.bytes.size()), 0u);
            if (s.bytes == reference) ++found;
        }
    }
    EXPECT_GT(complete, 1u);
    EXPECT_GE(found, 1u);
}

// Every packet of a noisy capture, whatever its PID, pushed through a reader that accepts any table
// id: video and scrambled payloads read as sections must neither crash nor hang nor grow the
// buffer, and whatever completes has a good CRC.
TEST(TableReaderRealData, NoisyPayloadsOfEveryPidAreHarmless) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-143.ts");
    auto data = read_file(path);
    AnyTableReader reader(0x00, 0xFE);
    MPEG::PATReader pat_reader;
    MPEG::TSPacket packet;
    size_t pats = 0;
    MPEG::PAT first_pat;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        Channel::BlockReader r(data.data() + at, 188);
        if (!MPEG::TSPacket::read(r, packet)) continue;
        reader.add(packet);
        ASSERT_LE(reader.buffered(), 4093u + 3 + 184);
        for (int guard = 0;; ++guard) {
            ASSERT_LT(guard, 1000) << "read_section does not settle";
            Section s = next(reader);
            if (s.result == MPEG::TableReader::need_more) break;
            if (s.result == MPEG::TableReader::complete) {
                EXPECT_EQ(MPEG::crc32_mpeg2(s.bytes.data(), s.bytes.size()), 0u);
            }
        }
        if (packet.pid != 0) continue;
        pat_reader.add(packet);
        MPEG::PAT pat;
        for (auto result = pat_reader.read(pat); result != MPEG::TableReader::need_more;
             result = pat_reader.read(pat)) {
            if (result != MPEG::TableReader::complete) continue;
            if (pats++ == 0) first_pat = pat;
            EXPECT_EQ(pat, first_pat);  // the PAT of one capture does not change
        }
    }
    EXPECT_GT(pats, 0u);
    EXPECT_FALSE(first_pat.programs.empty());
}
