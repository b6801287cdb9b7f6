#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "mpeg/tests/ffprobe_programs.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using Corvid::MPEG::Testing::ffprobe_programs;
using Corvid::MPEG::Testing::ProbedProgram;
using Corvid::Testing::read_file;

namespace {

// Feeds the packets of one PID of a file to reader and returns the first complete table together
// with the original section bytes it came from.
template <typename Reader, typename Table>
bool first_table(const std::string& path, uint16_t pid, Reader& reader, Table& table,
                 std::vector<uint8_t>& original) {
    auto data = read_file(path);
    MPEG::TSPacket packet;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        Channel::BlockReader r(data.data() + at, 188);
        if (!MPEG::TSPacket::read(r, packet) || packet.pid != pid) continue;
        reader.add(packet);
        for (;;) {
            MPEG::SectionHeader header;
            size_t total = 0, length = 0;
            const uint8_t* body = nullptr;
            auto peek = reader.read_section(header, total, body, length);
            if (peek == MPEG::TableReader::complete)
                original.assign(body + length + 4 - total, body + length + 4);
            auto result = reader.read(table);
            if (result == MPEG::TableReader::complete) return true;
            if (result == MPEG::TableReader::need_more) break;
        }
    }
    return false;
}

// Wraps raw section bytes (no pointer field) in one start packet for a reader.
template <typename Reader>
void add_section(Reader& reader, const std::vector<uint8_t>& section) {
    std::vector<uint8_t> payload = {0x00};
    payload.insert(payload.end(), section.begin(), section.end());
    MPEG::TSPacket p;
    p.payload_unit_start = true;
    ASSERT_TRUE(reader.add(p, payload.data(), payload.size()));
}

std::vector<uint8_t> without_pointer(std::vector<uint8_t> section) {
    EXPECT_FALSE(section.empty());
    EXPECT_EQ(section[0], 0);
    section.erase(section.begin());
    return section;
}

// The CA_system_ids of the CA descriptors (tag 0x09) in the list, added to out.
void add_ca_systems(const MPEG::DescriptorList& list, std::set<uint16_t>& out) {
    for (const auto& d : list)
        if (d.tag == 0x09 && d.data.size() >= 4)
            out.insert(static_cast<uint16_t>(d.data[0] << 8 | d.data[1]));
}

}  // namespace

// Hand-decoded from the bytes (and listed in the data notes): tsid 1079, 10 programs.
TEST(PATReader, RealSectionDecodesAndWritesBackIdentically) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-pat.bin");
    auto section = read_file(path);
    MPEG::PATReader reader;
    add_section(reader, section);
    MPEG::PAT pat;
    ASSERT_EQ(reader.read(pat), MPEG::TableReader::complete);
    EXPECT_EQ(pat.header.table_id, 0x00);
    EXPECT_EQ(pat.header.table_id_extension, 1079);
    EXPECT_EQ(pat.header.version, 15);  // byte 5 0xDF: version 01111, current_next 1
    EXPECT_TRUE(pat.header.current_next);
    const std::map<uint16_t, uint16_t> expected = {
        {11110, 6100}, {28006, 100}, {28007, 200}, {28008, 300},  {28011, 600},
        {28012, 700},  {28013, 800}, {28014, 650}, {28016, 1100}, {28017, 411}};
    EXPECT_EQ(pat.programs, expected);
    EXPECT_EQ(reader.buffered(), 0u);

    std::vector<uint8_t> written;
    ASSERT_TRUE(MPEG::write_pat(pat, written));
    EXPECT_EQ(without_pointer(written), section);
}

TEST(PATReader, PartialEntryIgnoredAndRepeatedProgramKeepsTheLastPid) {
    // Body: program 5 -> 0x100, program 5 -> 0x200, then 3 stray bytes.
    std::vector<uint8_t> body = {0x00, 0x05, 0xE1, 0x00, 0x00, 0x05, 0xE2, 0x00, 0x00, 0x07, 0xE3};
    MPEG::SectionHeader h;
    std::vector<uint8_t> section;
    ASSERT_TRUE(MPEG::finish_section(h, body.data(), body.size(), section));
    MPEG::PATReader reader;
    add_section(reader, without_pointer(section));
    MPEG::PAT pat;
    ASSERT_EQ(reader.read(pat), MPEG::TableReader::complete);
    EXPECT_EQ(pat.programs, (std::map<uint16_t, uint16_t>{{5, 0x200}}));
}

// PMT of program 1 in an Italian multiplex, against ffprobe's reading of the same file and the
// CA systems named in the data notes.
TEST(PMTReader, RealSectionMatchesFfprobeAndWritesBackIdentically) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/misc/tsduck-test-018.ts");
    MPEG::PATReader pat_reader;
    MPEG::PAT pat;
    std::vector<uint8_t> pat_bytes;
    ASSERT_TRUE(first_table(path, 0x0000, pat_reader, pat, pat_bytes));
    ASSERT_TRUE(pat.programs.count(1));
    const uint16_t pmt_pid = pat.programs.at(1);

    MPEG::PMTReader reader;
    MPEG::PMT pmt;
    std::vector<uint8_t> original;
    ASSERT_TRUE(first_table(path, pmt_pid, reader, pmt, original));
    EXPECT_EQ(pmt.header.table_id_extension, 1);

    std::set<uint16_t> ca_system_ids;
    for (const auto& stream : pmt.streams)
        add_ca_systems(stream.descriptors, ca_system_ids);
    EXPECT_EQ(ca_system_ids, (std::set<uint16_t>{0x183D, 0x183E}));

    if (Corvid::Testing::have_program("ffprobe")) {
        auto programs = ffprobe_programs(path);
        ASSERT_TRUE(programs.count(1));
        const ProbedProgram& probed = programs.at(1);
        EXPECT_EQ(probed.pmt_pid, pmt_pid);
        EXPECT_EQ(probed.pcr_pid, pmt.pcr_pid);
        std::vector<std::pair<unsigned, unsigned>> ours;
        for (const auto& s : pmt.streams)
            ours.emplace_back(s.stream_type, s.pid);
        EXPECT_EQ(ours, probed.streams);
        // The PAT agrees with ffprobe on every program's PMT PID.
        for (const auto& [number, pid] : pat.programs) {
            if (number == 0) continue;
            ASSERT_TRUE(programs.count(number)) << number;
            EXPECT_EQ(programs.at(number).pmt_pid, pid) << number;
        }
    } else {
        ADD_FAILURE() << "ffprobe missing: PMT only checked against the CA systems";
    }

    std::vector<uint8_t> written;
    ASSERT_TRUE(MPEG::write_pmt(pmt, written));
    EXPECT_EQ(without_pointer(written), original);
    std::vector<uint8_t> pat_written;
    ASSERT_TRUE(MPEG::write_pat(pat, pat_written));
    EXPECT_EQ(without_pointer(pat_written), pat_bytes);
}

TEST(PMTReader, LengthsRunningPastTheBodyDiscardTheSection) {
    auto pmt_with = [](std::vector<uint8_t> body) {
        MPEG::SectionHeader h;
        h.table_id = MPEG::pmt_table_id;
        std::vector<uint8_t> section;
        EXPECT_TRUE(MPEG::finish_section(h, body.data(), body.size(), section));
        MPEG::PMTReader reader;
        add_section(reader, without_pointer(section));
        MPEG::PMT pmt;
        pmt.pcr_pid = 0x1234;  // must survive a discarded section
        auto result = reader.read(pmt);
        EXPECT_EQ(reader.buffered(), 0u);  // consumed either way
        if (result != MPEG::TableReader::complete) {
            EXPECT_EQ(pmt.pcr_pid, 0x1234);
        }
        return std::make_pair(result, pmt);
    };
    // Shorter than pcr_pid and program_info_length.
    EXPECT_EQ(pmt_with({0xE1, 0x00, 0xF0}).first, MPEG::TableReader::discarded);
    // program_info_length 3 with only 2 bytes there.
    EXPECT_EQ(pmt_with({0xE1, 0x00, 0xF0, 0x03, 0x09, 0x00}).first, MPEG::TableReader::discarded);
    // ES_info_length 0xFFF past the body.
    EXPECT_EQ(pmt_with({0xE1, 0x00, 0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xFF, 0xFF, 0x00}).first,
              MPEG::TableReader::discarded);
    // A descriptor length past its loop stops the loop quietly; the stream is kept, and a
    // trailing fragment shorter than a stream entry is ignored.
    auto [result, pmt] = pmt_with({0xE1, 0x00, 0xF0, 0x02, 0x05, 0x09,  // program info: bad length
                                   0x02, 0xE1, 0x01, 0xF0, 0x03, 0x0A, 0x01, 0x65,  // stream
                                   0x04, 0xE1, 0x02});                              // fragment
    ASSERT_EQ(result, MPEG::TableReader::complete);
    EXPECT_EQ(pmt.pcr_pid, 0x100);
    EXPECT_TRUE(pmt.descriptors.empty());
    ASSERT_EQ(pmt.streams.size(), 1u);
    EXPECT_EQ(pmt.streams[0].stream_type, 0x02);
    EXPECT_EQ(pmt.streams[0].pid, 0x101);
    ASSERT_EQ(pmt.streams[0].descriptors.size(), 1u);
    EXPECT_EQ(pmt.streams[0].descriptors[0].tag, 0x0A);
    EXPECT_EQ(pmt.streams[0].descriptors[0].data, std::vector<uint8_t>{0x65});
}

// CAT of a French pay-TV capture: the CA systems named in the data notes.
TEST(CATReader, RealSectionCarriesTheFourCaSystemsAndWritesBackIdentically) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-030.ts");
    MPEG::CATReader reader;
    MPEG::CAT cat;
    std::vector<uint8_t> original;
    ASSERT_TRUE(first_table(path, 0x0001, reader, cat, original));
    EXPECT_EQ(cat.header.table_id, MPEG::cat_table_id);
    std::set<uint16_t> systems;
    add_ca_systems(cat.descriptors, systems);
    EXPECT_EQ(systems, (std::set<uint16_t>{0x0500, 0x1811, 0x1863, 0x1883}));

    std::vector<uint8_t> written;
    ASSERT_TRUE(MPEG::write_cat(cat, written));
    EXPECT_EQ(without_pointer(written), original);
}

// The common finishing step, checked against the header layout byte by byte.
TEST(SectionWriter, HeaderLayoutAndCrc) {
    MPEG::PMT pmt;
    pmt.header.table_id_extension = 0x0102;
    pmt.header.version = 31;
    pmt.header.current_next = true;
    pmt.header.section_number = 4;
    pmt.header.last_section_number = 5;
    pmt.pcr_pid = 0x1FFF;
    pmt.streams.push_back({0x1B, 0x0100, {{0x52, {0x01}}}});
    std::vector<uint8_t> s;
    ASSERT_TRUE(MPEG::write_pmt(pmt, s));
    const std::vector<uint8_t> head = {0x00, 0x02, 0xB0, 0x15, 0x01, 0x02, 0xFF,
                                       0x04, 0x05, 0xFF, 0xFF, 0xF0, 0x00, 0x1B,
                                       0xE1, 0x00, 0xF0, 0x03, 0x52, 0x01, 0x01};
    ASSERT_EQ(s.size(), head.size() + 4);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), s.begin()));
    EXPECT_EQ(MPEG::crc32_mpeg2(s.data() + 1, s.size() - 1), 0u);
}

// A body that makes section_length exceed 1021 would give a section that every reader, ours
// included, rejects: the writer refuses it instead of reporting success.
TEST(SectionWriter, RefusesBodiesItsReaderWouldReject) {
    MPEG::CAT cat;
    // 4 descriptors of 251 bytes each (1012 bytes): the longest body accepted.
    for (int i = 0; i < 4; ++i)
        cat.descriptors.push_back({0x09, std::vector<uint8_t>(251, i)});
    std::vector<uint8_t> section = {0xAA};
    ASSERT_TRUE(MPEG::write_cat(cat, section));
    EXPECT_EQ(section.size(), 1u + 3 + 1021);
    MPEG::CATReader reader;
    add_section(reader, without_pointer(section));
    MPEG::CAT back;
    ASSERT_EQ(reader.read(back), MPEG::TableReader::complete);
    EXPECT_EQ(back.descriptors, cat.descriptors);

    cat.descriptors.push_back({0x09, {}});  // 1014 bytes
    std::vector<uint8_t> untouched = {0xAA};
    EXPECT_FALSE(MPEG::write_cat(cat, untouched));
    EXPECT_EQ(untouched, std::vector<uint8_t>{0xAA});
    cat.descriptors.pop_back();
    cat.descriptors.back().data.push_back(0);  // 1013 bytes
    EXPECT_FALSE(MPEG::write_cat(cat, untouched));

    MPEG::CAT long_descriptor;
    long_descriptor.descriptors.push_back({0x09, std::vector<uint8_t>(256, 0)});
    EXPECT_FALSE(MPEG::write_cat(long_descriptor, untouched));
}
