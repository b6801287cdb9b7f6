#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using Corvid::Testing::read_file;
using Bytes = std::vector<uint8_t>;

namespace {

// Accepts the table ids given; long sections as the EIT has them.
class AnyTableReader : public MPEG::TableReader {
  public:
    AnyTableReader(uint8_t low, uint8_t high, size_t max = 4093, bool long_header = true)
        : low_(low), high_(high), max_(max), long_(long_header) {}
    size_t max_section_length() const override { return max_; }
    bool accepts_table_id(uint8_t id) const override { return id >= low_ && id <= high_; }
    bool has_long_header() const override { return long_; }

  private:
    uint8_t low_, high_;
    size_t max_;
    bool long_;
};

// A long-header section (no pointer field) with a correct CRC.
Bytes make_section(uint8_t table_id, uint16_t extension, size_t body_length) {
    Bytes body(body_length, 0x5A);
    MPEG::SectionHeader h;
    h.table_id = table_id;
    h.table_id_extension = extension;
    h.version = 3;
    h.current_next = true;
    Bytes out;
    EXPECT_TRUE(MPEG::finish_section(h, body.data(), body.size(), out, 4093));
    out.erase(out.begin());  // pointer field
    return out;
}

// Overwrites the last four bytes with the CRC of the rest.
Bytes with_crc(Bytes section) {
    const uint32_t crc = MPEG::crc32_mpeg2(section.data(), section.size() - 4);
    for (int k = 0; k < 4; ++k)
        section[section.size() - 4 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
    return section;
}

MPEG::TSPacket start_packet(bool pusi = true) {
    MPEG::TSPacket p;
    p.payload_unit_start = pusi;
    return p;
}

// A payload: pointer field, then the given bytes.
Bytes payload(uint8_t pointer, const Bytes& bytes) {
    Bytes out = {pointer};
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

struct Section {
    MPEG::TableReader::Result result;
    MPEG::SectionHeader header;
    Bytes bytes;  // whole section when complete
    Bytes body;
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
    EXPECT_EQ(
        MPEG::crc32_mpeg2(pat.data() + 10, pat.size() - 10, MPEG::crc32_mpeg2(pat.data(), 10)), 0u);
}

TEST(TableReaderAssembly, PointerFieldSkipsTheTailOfThePreviousSection) {
    auto first = make_section(0x42, 1, 300);
    auto second = make_section(0x42, 2, 20);
    AnyTableReader reader(0x42, 0x42);
    Bytes p1 = payload(0, Bytes(first.begin(), first.begin() + 183));
    ASSERT_TRUE(reader.add(start_packet(), p1.data(), p1.size()));
    Bytes p2 =
        payload(static_cast<uint8_t>(first.size() - 183), Bytes(first.begin() + 183, first.end()));
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

TEST(TableReaderAssembly, PointerFieldBounds) {
    // (0xFF + 1) mod 256 = 0: nothing is skipped, and the 0xFF itself is taken as stuffing.
    auto section = make_section(0x00, 7, 8);
    Bytes p = payload(0xFF, section);
    AnyTableReader reader(0x00, 0xFF);
    ASSERT_TRUE(reader.add(start_packet(), p.data(), p.size()));
    EXPECT_EQ(next(reader).bytes, section);

    Bytes past = {10, 1, 2, 3};
    AnyTableReader fresh(0x00, 0xFF);
    EXPECT_FALSE(fresh.add(start_packet(), past.data(), past.size()));
    EXPECT_FALSE(fresh.started());
    EXPECT_FALSE(fresh.add(start_packet(), past.data(), 0));
    past[0] = 3;  // exactly to the end: started, nothing buffered
    EXPECT_TRUE(fresh.add(start_packet(), past.data(), past.size()));
    EXPECT_EQ(fresh.buffered(), 0u);
}

TEST(TableReaderRejects, WrongCrcDropsEverythingBufferedAfterIt) {
    auto bad = make_section(0x4E, 1, 30);
    bad[20] ^= 0x01;
    auto good = make_section(0x4E, 2, 30);
    Bytes p = payload(0, bad);
    p.insert(p.end(), good.begin(), good.end());
    AnyTableReader reader(0x4E, 0x4E);
    ASSERT_TRUE(reader.add(start_packet(), p.data(), p.size()));
    EXPECT_EQ(next(reader).result, MPEG::TableReader::discarded);
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_FALSE(reader.started());
    EXPECT_EQ(next(reader).result, MPEG::TableReader::need_more);
    // Until the next start, continuation packets are ignored.
    EXPECT_FALSE(reader.add(start_packet(false), p.data(), p.size()));
}

// A long-header section needs section_length >= 9 (5 header bytes and the CRC): with 5..8 the body
// length would come out negative and the reader would hand out a huge length into its buffer.
TEST(TableReaderRejects, TableIdAndSectionLengthOutOfRange) {
    struct Case {
        const char* what;
        Bytes section;
        MPEG::TableReader::Result result;
        bool long_header = true;
    };
    std::vector<Case> cases = {
        {"table id not accepted", make_section(0x50, 1, 10), MPEG::TableReader::discarded},
        {"section_length 3", {0x4E, 0xB0, 0x03, 0, 0, 0}, MPEG::TableReader::discarded},
        {"one past the maximum", make_section(0x4E, 1, 1021 - 9 + 1), MPEG::TableReader::discarded},
        {"the maximum", make_section(0x4E, 1, 1021 - 9), MPEG::TableReader::complete},
        {"two bytes wait for more", {0x4E, 0xB0}, MPEG::TableReader::need_more},
        // Without a long header, 4 bytes (the CRC alone) is a valid empty section.
        {"short header, CRC alone", with_crc({0x4E, 0x30, 0x04, 0, 0, 0, 0}),
         MPEG::TableReader::complete, false},
    };
    for (uint8_t length = 4; length <= 8; ++length) {
        Bytes s = {0x4E, 0xB0, length};
        s.resize(3 + length, 0);
        cases.push_back(
            {"long header, section_length below 9", with_crc(s), MPEG::TableReader::discarded});
    }
    for (const Case& c : cases) {
        AnyTableReader reader(0x4E, 0x4E, 1021, c.long_header);
        Bytes p = payload(0, c.section);
        reader.add(start_packet(), p.data(), p.size());
        Section s = next(reader);
        EXPECT_EQ(s.result, c.result) << c.what << ", " << c.section.size() << " bytes";
        if (c.result == MPEG::TableReader::discarded) {
            EXPECT_EQ(reader.buffered(), 0u) << c.what;
            EXPECT_EQ(s.header.table_id, c.section[0]) << c.what;
        }
        if (!c.long_header) {
            EXPECT_TRUE(s.body.empty());
        }
    }
}

// A caller that never reads, or garbage that never forms a section, must not grow the buffer
// without bound: past one maximal section plus a packet the reader starts again.
TEST(TableReaderRejects, BufferIsBoundedWhenSectionsNeverComplete) {
    AnyTableReader reader(0x4E, 0x4E, 1021);
    Bytes garbage(184, 0x4E);
    garbage[0] = 0;
    const size_t bound = 1021 + 3 + 184;
    ASSERT_TRUE(reader.add(start_packet(), garbage.data(), garbage.size()));
    for (int i = 0; i < 100; ++i) {
        reader.add(start_packet(i % 7 == 0), garbage.data(), garbage.size());
        EXPECT_LE(reader.buffered(), bound);
    }
    // A start packet arriving at the bound begins a new section rather than being lost.
    AnyTableReader full(0x4E, 0x4E, 1021);
    ASSERT_TRUE(full.add(start_packet(), garbage.data(), garbage.size()));
    while (full.buffered() + 184 <= bound)
        full.add(start_packet(false), garbage.data(), 184);
    auto section = make_section(0x4E, 9, 50);
    Bytes start = payload(0, section);
    start.resize(184, 0xFF);
    EXPECT_TRUE(full.add(start_packet(), start.data(), start.size()));
    EXPECT_EQ(next(full).bytes, section);
}

// Reads every packet of the capture that passes keep, adds it to reader and returns the sections
// that complete, each checked for a good CRC; the buffer must stay bounded and reading settle.
template <typename Keep>
std::vector<Bytes> sections_of(const std::string& path, MPEG::TableReader& reader, Keep keep) {
    std::vector<Bytes> sections;
    const auto data = read_file(path);
    MPEG::TSPacket packet;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        Channel::BlockReader r(data.data() + at, 188);
        if (!MPEG::TSPacket::read(r, packet) || !keep(packet)) continue;
        reader.add(packet);
        EXPECT_LE(reader.buffered(), 4093u + 3 + 184);
        for (int guard = 0;; ++guard) {
            if (guard == 1000) {
                ADD_FAILURE() << "read_section does not settle";
                return sections;
            }
            Section s = next(reader);
            if (s.result == MPEG::TableReader::need_more) break;
            if (s.result != MPEG::TableReader::complete) continue;
            EXPECT_EQ(MPEG::crc32_mpeg2(s.bytes.data(), s.bytes.size()), 0u);
            sections.push_back(s.bytes);
        }
    }
    return sections;
}

// The EIT packets of a real capture with five corrupt packets: the Huffman-coded section listed in
// the capture notes comes out exactly as the reference copy.
TEST(TableReaderRealData, CorruptCaptureStillYieldsTheReferenceSection) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-142.ts");
    CORVID_REQUIRE_SHARED(reference_path,
                          "testdata/sections/tsduck-test-142.eit-4f-freesat-huffman.bin");
    AnyTableReader reader(0x4E, 0x6F);
    auto sections =
        sections_of(path, reader, [](const MPEG::TSPacket& p) { return p.pid == 0x12; });
    EXPECT_GT(sections.size(), 1u);
    EXPECT_NE(std::find(sections.begin(), sections.end(), read_file(reference_path)),
              sections.end());
}

// Every packet of a noisy capture, whatever its PID, pushed through a reader that accepts any table
// id: video and scrambled payloads read as sections must neither crash nor hang nor grow the
// buffer, and whatever completes has a good CRC. The PAT of the capture does not change.
TEST(TableReaderRealData, NoisyPayloadsOfEveryPidAreHarmless) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-143.ts");
    AnyTableReader reader(0x00, 0xFE);
    MPEG::PATReader pat_reader;
    std::vector<MPEG::PAT> pats;
    sections_of(path, reader, [&](const MPEG::TSPacket& p) {
        if (p.pid != 0) return true;
        pat_reader.add(p);
        MPEG::PAT pat;
        for (auto result = pat_reader.read(pat); result != MPEG::TableReader::need_more;
             result = pat_reader.read(pat))
            if (result == MPEG::TableReader::complete) pats.push_back(pat);
        return true;
    });
    ASSERT_FALSE(pats.empty());
    EXPECT_FALSE(pats[0].programs.empty());
    EXPECT_EQ(std::count(pats.begin(), pats.end(), pats[0]), static_cast<long>(pats.size()));
}
