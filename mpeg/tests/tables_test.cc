// Section reassembly and the PSI and SI table readers and writers, on real sections (against the
// data notes and ffprobe) and hostile ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mpeg/mpeg.h"
#include "mpeg/tests/sections.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
using namespace Corvid::Testing;
using Result = MPEG::TableReader::Result;

namespace {

class AnyTableReader : public MPEG::TableReader {
  public:
    explicit AnyTableReader(bool long_header = true) : long_(long_header) {}
    bool accepts_table_id(uint8_t id) const override { return id >= 0x4E && id <= 0x6F; }
    bool has_long_header() const override { return long_; }

  private:
    bool long_;
};

Bytes body_section(uint8_t table_id, size_t body_length) {
    return unpointed(section(table_id, 1, Bytes(body_length, 0x5A)));
}

bool add(MPEG::TableReader& reader, const Bytes& payload, bool start = true) {
    MPEG::TSPacket p;
    p.payload_unit_start = start;
    return reader.add(p, payload.data(), payload.size());
}

// The next section's bytes, consumed, or nothing with the result.
Result next(MPEG::TableReader& reader, Bytes* bytes = nullptr) {
    MPEG::SectionHeader header;
    size_t total = 0, length = 0;
    const uint8_t* data = nullptr;
    const Result result = reader.read_section(header, total, data, length);
    if (result == MPEG::TableReader::complete) {
        if (bytes) bytes->assign(data + length + 4 - total, data + length + 4);
        reader.consume(total);
    }
    return result;
}

// The first complete table on one PID of a file, and the section bytes it came from.
template <typename Reader, typename Table>
bool first_table(const std::string& path, uint16_t pid, Table& table, Bytes& original) {
    Reader reader;
    const auto data = read_file(path);
    MPEG::TSPacket packet;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        if (!MPEG::TSPacket::read(data.data() + at, packet) || packet.pid != pid) continue;
        reader.add(packet);
        for (Reader copy = reader; next(copy, &original) != MPEG::TableReader::need_more;)
            if (reader.read(table) == MPEG::TableReader::complete) return true;
    }
    return false;
}

// ffprobe's listing of a file's programs: "pmt_pid,pcr_pid" and each stream's "tag,pid".
std::string probed(const std::string& path) {
    return run_command(
        "ffprobe -v error -show_programs -show_entries program=pmt_pid,pcr_pid:"
        "program_stream=codec_tag,id:program_tags=:program_stream_tags=:"
        "program_stream_disposition= -of csv=p=0 " +
        shell_quote(path));
}

std::string listed(int pmt_pid, const MPEG::PMT& pmt) {
    std::string out = std::to_string(pmt_pid) + "," + std::to_string(pmt.pcr_pid);
    for (size_t i = 0; i < pmt.streams.size(); i++) {
        char line[32];
        std::snprintf(line, sizeof line, "%s0x%04x,0x%x\n", i ? "" : ",",
                      pmt.streams[i].stream_type, pmt.streams[i].pid);
        out += line;
    }
    return out + "\n";
}

std::set<uint16_t> ca_systems(const std::vector<MPEG::DescriptorList>& lists) {
    std::set<uint16_t> out;
    for (const auto& list : lists)
        for (const auto& d : list)
            if (d.tag == 0x09 && d.data.size() >= 4)
                out.insert(uint16_t(d.data[0] << 8 | d.data[1]));
    return out;
}

template <typename Table, typename Write>
Bytes written(const Table& table, Write write) {
    Bytes out;
    EXPECT_TRUE(write(table, out));
    return unpointed(out);
}

}  // namespace

TEST(TableReader, CrcCheckValueAndBadCrc) {
    EXPECT_EQ(MPEG::crc32_mpeg2(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x0376E6E7u);
    // A wrong CRC drops everything buffered after it, until the next start.
    auto bad = body_section(0x4E, 30);
    bad[20] ^= 0x01;
    AnyTableReader reader;
    ASSERT_TRUE(add(reader, cat({{0}, bad, body_section(0x4E, 30)})));
    EXPECT_EQ(next(reader), MPEG::TableReader::discarded);
    EXPECT_EQ(reader.buffered() + next(reader), size_t{MPEG::TableReader::need_more});
    EXPECT_FALSE(add(reader, Bytes(184, 0), false));
}

// A pointer field must point inside its payload; 0xFF used to wrap to a skip of 0 (mod 256) and
// take the previous section's tail for a new one. Exactly to the end is fine.
TEST(TableReader, PointerFieldPastThePayloadIsRejected) {
    const auto s = body_section(0x4E, 8);
    for (auto [pointer, length] : {std::pair{0xFF, 184}, {184, 184}, {10, 4}}) {
        AnyTableReader reader;
        Bytes payload = cat({{uint8_t(pointer)}, s, Bytes(163, 0xFF)});
        payload.resize(length);
        EXPECT_FALSE(add(reader, payload)) << pointer;
        ASSERT_TRUE(add(reader, cat({{0}, Bytes(s.begin(), s.begin() + 5)})));
        EXPECT_FALSE(add(reader, payload));
        EXPECT_EQ(reader.buffered() + reader.started(), 0u) << pointer;  // the section goes too
    }
    AnyTableReader exact;
    EXPECT_TRUE(add(exact, {3, 1, 2, 3}));
    EXPECT_EQ(exact.buffered(), 0u);
}

// A long-header section needs section_length >= 9 (5 header bytes and the CRC): with 5..8 the body
// length came out negative and the reader handed out a huge length into its buffer.
TEST(TableReader, TableIdAndSectionLengthOutOfRange) {
    auto crc = [](Bytes b) {  // fills in the last four bytes
        const uint32_t value = MPEG::crc32_mpeg2(b.data(), b.size() - 4);
        for (int k = 0; k < 4; ++k)
            b[b.size() - 4 + k] = uint8_t(value >> (24 - 8 * k));
        return b;
    };
    const struct {
        Bytes section;
        Result result;
        bool long_header = true;
    } cases[] = {
        {body_section(0x4D, 10), MPEG::TableReader::discarded},
        {{0x4E, 0xB0, 0x03, 0, 0, 0}, MPEG::TableReader::discarded},
        {body_section(0x4E, 1021 - 9 + 1), MPEG::TableReader::discarded},
        {body_section(0x4E, 1021 - 9), MPEG::TableReader::complete},
        {{0x4E, 0xB0}, MPEG::TableReader::need_more},
        {crc({0x4E, 0x30, 0x04, 0, 0, 0, 0}), MPEG::TableReader::complete, false},  // CRC alone
        {crc({0x4E, 0xB0, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0}), MPEG::TableReader::discarded},
        {crc({0x4E, 0xB0, 0x05, 0, 0, 0, 0, 0}), MPEG::TableReader::discarded},
    };
    for (const auto& c : cases) {
        AnyTableReader reader(c.long_header);
        add(reader, cat({{0}, c.section}));
        EXPECT_EQ(next(reader), c.result) << c.section.size() << " bytes";
        if (c.result == MPEG::TableReader::discarded) EXPECT_EQ(reader.buffered(), 0u);
    }
}

// A caller that never reads, or garbage that never forms a section, must not grow the buffer
// without bound; a start packet arriving at the bound begins a new section rather than being lost.
TEST(TableReader, BufferIsBoundedWhenSectionsNeverComplete) {
    AnyTableReader reader;
    Bytes garbage(184, 0x4E), s = body_section(0x4E, 50), out;
    garbage[0] = 0;
    ASSERT_TRUE(add(reader, garbage));
    while (reader.buffered() + 184 <= 1021 + 3 + 184)
        add(reader, garbage, false);
    EXPECT_TRUE(add(reader, cat({{0}, s, Bytes(133 - s.size(), 0xFF)})));
    EXPECT_EQ(next(reader, &out), MPEG::TableReader::complete);
    EXPECT_EQ(out, s);
}

// The EIT packets of a capture with five corrupt packets: every section that completes has a good
// CRC, and the Huffman-coded one listed in the capture notes comes out as the reference copy.
TEST(TableReader, CorruptCaptureYieldsTheReferenceSection) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-142.ts");
    CORVID_REQUIRE_SHARED(reference,
                          "testdata/sections/tsduck-test-142.eit-4f-freesat-huffman.bin");
    AnyTableReader reader;
    const auto data = read_file(path);
    std::vector<Bytes> sections;
    MPEG::TSPacket packet;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        if (!MPEG::TSPacket::read(data.data() + at, packet) || packet.pid != 0x12) continue;
        reader.add(packet);
        for (Bytes s; next(reader, &s) != MPEG::TableReader::need_more; s.clear()) {
            if (s.empty()) continue;
            EXPECT_EQ(MPEG::crc32_mpeg2(s.data(), s.size()), 0u);
            sections.push_back(s);
        }
    }
    EXPECT_NE(std::find(sections.begin(), sections.end(), read_file(reference)), sections.end());
}

// Hand-decoded from the bytes (and in the data notes): tsid 1079, version 15, 10 programs. A
// partial entry is ignored and a repeated program keeps the last PID.
TEST(PATReader, SectionsDecodeAndWriteBackIdentically) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-pat.bin");
    const auto original = read_file(path);
    MPEG::PAT pat;
    ASSERT_EQ((read_one<MPEG::PATReader>(cat({{0}, original}), pat)), MPEG::TableReader::complete);
    EXPECT_TRUE(pat.header.table_id_extension == 1079 && pat.header.version == 15 &&
                pat.header.current_next);
    const std::map<uint16_t, uint16_t> expected = {
        {11110, 6100}, {28006, 100}, {28007, 200}, {28008, 300},  {28011, 600},
        {28012, 700},  {28013, 800}, {28014, 650}, {28016, 1100}, {28017, 411}};
    EXPECT_EQ(pat.programs, expected);
    EXPECT_EQ(written(pat, MPEG::write_pat), original);
    const Bytes body = {0x00, 0x05, 0xE1, 0x00, 0x00, 0x05, 0xE2, 0x00, 0x00, 0x07, 0xE3};
    ASSERT_EQ((read_one<MPEG::PATReader>(section(0x00, 1, body), pat)),
              MPEG::TableReader::complete);
    EXPECT_EQ(pat.programs, (std::map<uint16_t, uint16_t>{{5, 0x200}}));
}

// PMT of program 1 in an Italian multiplex against ffprobe and the CA systems of the data notes;
// the CAT of a French pay-TV capture against its notes.
TEST(PMTReader, RealSectionsMatchFfprobeAndTheNotesAndWriteBackIdentically) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/misc/tsduck-test-018.ts");
    CORVID_REQUIRE_SHARED(cat_path, "testdata/ts/epg/tsduck-test-030.ts");
    MPEG::PAT pat;
    MPEG::PMT pmt;
    MPEG::CAT ca;
    Bytes pat_bytes, pmt_bytes, cat_bytes;
    ASSERT_TRUE((first_table<MPEG::PATReader>(path, 0x0000, pat, pat_bytes)));
    ASSERT_TRUE((first_table<MPEG::PMTReader>(path, pat.programs[1], pmt, pmt_bytes)));
    ASSERT_TRUE((first_table<MPEG::CATReader>(cat_path, 0x0001, ca, cat_bytes)));
    std::vector<MPEG::DescriptorList> lists;
    for (const auto& stream : pmt.streams)
        lists.push_back(stream.descriptors);
    EXPECT_EQ(ca_systems(lists), (std::set<uint16_t>{0x183D, 0x183E}));
    EXPECT_EQ(ca_systems({ca.descriptors}), (std::set<uint16_t>{0x0500, 0x1811, 0x1863, 0x1883}));
    EXPECT_EQ(written(pmt, MPEG::write_pmt), pmt_bytes);
    EXPECT_EQ(written(pat, MPEG::write_pat), pat_bytes);
    EXPECT_EQ(written(ca, MPEG::write_cat), cat_bytes);
    CORVID_REQUIRE_PROGRAM("ffprobe");
    EXPECT_EQ(probed(path).find(listed(pat.programs[1], pmt)), 0u) << listed(pat.programs[1], pmt);
}

TEST(PMTReader, LengthsRunningPastTheBodyDiscardTheSection) {
    MPEG::PMT pmt;
    pmt.pcr_pid = 0x1234;  // must survive a discarded section
    for (const Bytes& body : {Bytes{0xE1, 0x00, 0xF0}, Bytes{0xE1, 0x00, 0xF0, 0x03, 0x09, 0x00},
                              Bytes{0xE1, 0x00, 0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xFF, 0xFF, 0x00}})
        EXPECT_EQ((read_one<MPEG::PMTReader>(section(0x02, 1, body), pmt)),
                  MPEG::TableReader::discarded);
    EXPECT_EQ(pmt.pcr_pid, 0x1234);
    // A descriptor past its loop stops the loop quietly; a trailing fragment is ignored.
    const Bytes body = {0xE1, 0x00, 0xF0, 0x02, 0x05, 0x09, 0x02, 0xE1, 0x01,
                        0xF0, 0x03, 0x0A, 0x01, 0x65, 0x04, 0xE1, 0x02};
    ASSERT_EQ((read_one<MPEG::PMTReader>(section(0x02, 1, body), pmt)),
              MPEG::TableReader::complete);
    EXPECT_EQ(pmt.pcr_pid * 100 + pmt.descriptors.size() * 10 + pmt.streams.size(),
              0x100u * 100 + 1);
    EXPECT_EQ(pmt.streams[0], (MPEG::PMTStream{0x02, 0x101, {{0x0A, {0x65}}}}));
}

// A body that makes section_length exceed 1021 would give a section that every reader rejects.
TEST(SectionWriter, RefusesBodiesItsReaderWouldReject) {
    MPEG::CAT table, back;
    for (int i = 0; i < 4; ++i)  // 1012 bytes of body: the longest accepted
        table.descriptors.push_back({0x09, std::vector<uint8_t>(251, i)});
    Bytes s, untouched = {0xAA};
    ASSERT_TRUE(MPEG::write_cat(table, s));
    ASSERT_EQ((read_one<MPEG::CATReader>(s, back)), MPEG::TableReader::complete);
    EXPECT_EQ(back.descriptors, table.descriptors);
    table.descriptors.back().data.push_back(0);
    EXPECT_FALSE(MPEG::write_cat(table, untouched));
    table.descriptors = {{0x09, std::vector<uint8_t>(256, 0)}};
    EXPECT_FALSE(MPEG::write_cat(table, untouched));
    EXPECT_EQ(untouched, Bytes{0xAA});
}

// Continuation packets of a 40-stream PMT clear the start flag and adaptation fields and count on;
// the last is stuffed with 0xFF; ffprobe finds the program. (With payload_unit_start and the first
// counter on every packet, ffprobe 5.1 finds no program at all.)
TEST(SectionPackets, MultiPacketPmtReadsBackAndFfprobeFindsIt) {
    MPEG::PMT pmt;
    pmt.header = {.table_id = 0x02, .current_next = true, .table_id_extension = 1};
    pmt.pcr_pid = 0x100;
    for (unsigned i = 0; i < 40; ++i)
        pmt.streams.push_back(
            {uint8_t(2 + i % 5), uint16_t(0x100 + i), {{0x0A, {'e', 'n', 'g', 0}}}});
    Bytes s, pat_section, file;
    ASSERT_TRUE(MPEG::write_pmt(pmt, s));
    MPEG::TSPacket shape, pat_shape, p;
    shape.pid = 0x1000;
    shape.continuity_counter = 14;
    shape.pcr = 10.0;
    const auto bytes = MPEG::section_packets(shape, s);
    ASSERT_EQ(bytes.size(), 3 * 188u);
    std::string seen;
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(MPEG::TSPacket::read(bytes.data() + 188 * i, p));
        seen += std::to_string(p.payload_unit_start) + std::to_string(p.continuity_counter) +
                (p.pcr < 0 ? " " : "+ ") + std::to_string(p.payload.back()) + " ";
    }
    EXPECT_EQ(seen,
              "114+ " + std::to_string(s[175]) + " 015 " + std::to_string(s[359]) + " 00 255 ");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    MPEG::PAT pat;
    pat.header.current_next = true;
    pat.programs[1] = 0x1000;
    ASSERT_TRUE(MPEG::write_pat(pat, pat_section));
    shape = MPEG::TSPacket();
    shape.pid = 0x1000;
    for (int repeat = 0; repeat < 10; ++repeat) {
        file = cat(
            {file, MPEG::section_packets(pat_shape, pat_section), MPEG::section_packets(shape, s)});
        pat_shape.continuity_counter = (pat_shape.continuity_counter + 1) & 15;
        shape.continuity_counter = (shape.continuity_counter + 3) & 15;
    }
    TempDir dir;
    write_file(dir.file("pmt.ts"), std::string(file.begin(), file.end()));
    EXPECT_EQ(probed(dir.file("pmt.ts")), listed(0x1000, pmt));
}

TEST(SiTime, MjdAndBcdFields) {
    const struct {
        std::array<uint8_t, 5> bytes;
        const char* iso;  // "" for no valid time
    } starts[] = {
        {{0xB0, 0xA2, 0x12, 0x45, 0x00}, "1982-09-06T12:45:00Z"},  // EN 300 468's example
        {{0xEB, 0xD1, 0x23, 0x59, 0x59}, "2024-02-29T23:59:59Z"},
        // The 16-bit MJD wraps after 2038-04-22; values below 0x8000 are the dates after it.
        {{0xFF, 0xFF, 0x23, 0x59, 0x59}, "2038-04-22T23:59:59Z"},
        {{0x00, 0x00, 0x00, 0x00, 0x00}, "2038-04-23T00:00:00Z"},
        {{0x4A, 0xD1, 0x20, 0x00, 0x00}, "2090-09-30T20:00:00Z"},  // was 1911-04-27
        {{0x58, 0x40, 0x00, 0x00, 0x00}, "2100-03-01T00:00:00Z"},  // past annex C's formula
        {{0x7F, 0xFF, 0x00, 0x00, 0x00}, "2128-01-09T00:00:00Z"},
        {{0x80, 0x00, 0x00, 0x00, 0x00}, "1948-08-05T00:00:00Z"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, ""},  // undefined
        {{0xE4, 0x89, 0x24, 0x00, 0x00}, ""},  // hour 24
        {{0xE4, 0x89, 0x12, 0x5A, 0x00}, ""},  // not BCD
    };
    for (const auto& s : starts) {
        const auto t = MPEG::decode_mjd_time(s.bytes.data());
        EXPECT_EQ(t.valid() ? t.iso() : "", s.iso) << s.iso;
    }
    const uint8_t durations[][3] = {{0x01, 0x45, 0x30}, {0x99, 0x59, 0x59}, {0xFF, 0xFF, 0xFF}};
    const double seconds[] = {6330, 99 * 3600 + 59 * 60 + 59, 0};  // the last undefined
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(MPEG::decode_bcd_duration(durations[i]).seconds(), seconds[i]) << i;
}

// An EIT whose event loop runs past its body goes whole, the good events before it too; up to four
// bytes after the last event are tolerated.
TEST(EITReader, EventsAndLoopBounds) {
    const Bytes head = {0x00, 0x04, 0x20, 0xFA, 0x00, 0x4E};
    // Event 2 at 2024-03-04 13:00 for 30 minutes, with one descriptor.
    const Bytes good =
        cat({{0x00, 0x02, 0xEB, 0xD5, 0x13, 0x00, 0x00, 0x00, 0x30, 0x00, 0x80, 0x06},
             descriptor(0x4D, {'e', 'n', 'g', 0})});
    Bytes liar = good;
    liar[11] = 0x07;
    const struct {
        uint8_t table_id;
        Bytes body;
        Result result;
    } cases[] = {
        {0x4F, cat({head, good, liar}), MPEG::TableReader::discarded},
        {0x4F, cat({head, good, Bytes(5, 0)}), MPEG::TableReader::discarded},
        {0x4F, Bytes(head.begin(), head.end() - 1), MPEG::TableReader::discarded},
        {0x6F, cat({head, good, Bytes(4, 0)}), MPEG::TableReader::complete},
    };
    for (const auto& c : cases) {
        MPEG::EIT eit;
        EXPECT_EQ((read_one<MPEG::EITReader>(section(c.table_id, 7, c.body), eit)), c.result);
        ASSERT_EQ(eit.events.size(), c.result == MPEG::TableReader::complete ? 1u : 0u);
        if (eit.events.empty()) continue;
        const auto& e = eit.events[0];
        EXPECT_EQ(std::to_string(e.event_id) + " " + e.start.iso() + " " + e.duration.hms(),
                  "2 2024-03-04T13:00:00Z 00:30:00");
        EXPECT_EQ(e.descriptors, (MPEG::DescriptorList{{0x4D, {'e', 'n', 'g', 0}}}));
    }
}
