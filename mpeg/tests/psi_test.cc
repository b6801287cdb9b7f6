// PSI tables: real sections decoded against the data notes and ffprobe and written back byte for
// byte, hostile lengths, the section writer's limits, and sections re-emitted as packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using Corvid::Testing::read_file;
using Streams = std::vector<std::pair<unsigned, unsigned>>;  // (stream_type, pid) in PMT order

namespace {

struct ProbedProgram {
    int pmt_pid = -1;
    int pcr_pid = -1;
    Streams streams;
};

// Program number -> what ffprobe -show_programs reports. Its compact output is a flat run of
// "key=value" items separated by '|' and newlines; a program's streams follow it, each stream's
// codec_tag before its id.
std::map<int, ProbedProgram> ffprobe_programs(const std::string& path) {
    int status = -1;
    const std::string out = Corvid::Testing::run_command(
        "ffprobe -v error -show_programs -show_entries "
        "program=program_id,pmt_pid,pcr_pid:program_stream=id,codec_tag -of compact " +
            Corvid::Testing::shell_quote(path),
        &status);
    EXPECT_EQ(status, 0) << out;
    std::map<int, ProbedProgram> programs;
    ProbedProgram* current = nullptr;
    unsigned codec_tag = 0;
    for (size_t at = 0, end = 0; at < out.size(); at = end + 1) {
        end = std::min(out.find_first_of("|\n", at), out.size());
        const std::string item = out.substr(at, end - at);
        const size_t eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = item.substr(0, eq);
        const auto number = static_cast<unsigned>(std::strtoul(item.c_str() + eq + 1, nullptr, 0));
        if (key == "program_id") current = &programs[static_cast<int>(number)];
        if (!current) continue;
        if (key == "pmt_pid") current->pmt_pid = static_cast<int>(number);
        if (key == "pcr_pid") current->pcr_pid = static_cast<int>(number);
        if (key == "codec_tag") codec_tag = number;
        if (key == "id") current->streams.emplace_back(codec_tag, number);
    }
    return programs;
}

Streams streams_of(const MPEG::PMT& pmt) {
    Streams out;
    for (const auto& s : pmt.streams)
        out.emplace_back(s.stream_type, s.pid);
    return out;
}

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
    std::vector<uint8_t> written, pat_written;
    ASSERT_TRUE(MPEG::write_pmt(pmt, written));
    EXPECT_EQ(without_pointer(written), original);
    ASSERT_TRUE(MPEG::write_pat(pat, pat_written));
    EXPECT_EQ(without_pointer(pat_written), pat_bytes);

    CORVID_REQUIRE_PROGRAM("ffprobe");
    auto programs = ffprobe_programs(path);
    ASSERT_TRUE(programs.count(1));
    EXPECT_EQ(programs.at(1).pmt_pid, pmt_pid);
    EXPECT_EQ(programs.at(1).pcr_pid, pmt.pcr_pid);
    EXPECT_EQ(programs.at(1).streams, streams_of(pmt));
    // The PAT agrees with ffprobe on every program's PMT PID.
    for (const auto& [number, pid] : pat.programs) {
        if (number == 0) continue;
        ASSERT_TRUE(programs.count(number)) << number;
        EXPECT_EQ(programs.at(number).pmt_pid, pid) << number;
    }
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

namespace {

// A PMT long enough to need three packets: 40 streams with a language descriptor each.
MPEG::PMT long_pmt() {
    MPEG::PMT pmt;
    pmt.header.table_id = MPEG::pmt_table_id;
    pmt.header.table_id_extension = 1;
    pmt.header.version = 2;
    pmt.header.current_next = true;
    pmt.pcr_pid = 0x100;
    pmt.descriptors.push_back({0x0E, {0xC0, 0x12, 0x34}});  // maximum bitrate
    const uint8_t types[] = {0x02, 0x04, 0x1B, 0x0F, 0x06, 0x03};
    for (unsigned i = 0; i < 40; ++i)
        pmt.streams.push_back(
            {types[i % 6], static_cast<uint16_t>(0x100 + i), {{0x0A, {'e', 'n', 'g', 0x00}}}});
    return pmt;
}

}  // namespace

TEST(SectionPackets, ContinuationPacketsClearTheStartFlagAndCountOn) {
    std::vector<uint8_t> section;
    ASSERT_TRUE(MPEG::write_pmt(long_pmt(), section));
    MPEG::TSPacket shape;
    shape.pid = 0x1000;
    shape.continuity_counter = 14;
    shape.pcr = 10.0;  // kept on the first packet only
    shape.random_access = true;
    auto bytes = MPEG::section_packets(shape, section);
    ASSERT_EQ(bytes.size(), 3 * 188u);
    Channel::BlockReader r(bytes.data(), bytes.size());
    MPEG::PMTReader reader;
    std::vector<uint8_t> joined;
    const uint32_t counters[] = {14, 15, 0};
    for (size_t i = 0; i < 3; ++i) {
        MPEG::TSPacket p;
        ASSERT_TRUE(MPEG::TSPacket::read(r, p));
        EXPECT_EQ(p.pid, 0x1000);
        EXPECT_EQ(p.payload_unit_start, i == 0);
        EXPECT_EQ(p.continuity_counter, counters[i]);
        EXPECT_EQ(p.random_access, i == 0);
        EXPECT_EQ(p.pcr, i == 0 ? 10.0 : -1.0);
        joined.insert(joined.end(), p.payload.begin(), p.payload.end());
        reader.add(p);
    }
    // The section bytes, in order, then 0xFF stuffing in the payload (no adaptation field) up to
    // the end of the last packet.
    EXPECT_EQ(bytes[2 * 188 + 3] & 0x30, 0x10);
    ASSERT_GE(joined.size(), section.size());
    EXPECT_TRUE(std::equal(section.begin(), section.end(), joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + section.size(), joined.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    MPEG::PMT back;
    ASSERT_EQ(reader.read(back), MPEG::TableReader::complete);
    EXPECT_EQ(back, long_pmt());

    MPEG::TSPacket single;
    single.continuity_counter = 0x1F;  // only the low nibble counts
    MPEG::PAT pat;
    pat.programs[1] = 0x1000;
    ASSERT_TRUE(MPEG::write_pat(pat, section));
    bytes = MPEG::section_packets(single, section);
    ASSERT_EQ(bytes.size(), 188u);
    EXPECT_EQ(bytes[1], 0x40);
    EXPECT_EQ(bytes[3], 0x1F);
    EXPECT_EQ(bytes[188 - 1], 0xFF);
    EXPECT_TRUE(MPEG::section_packets(single, {}).empty());
    uint8_t small[100];
    Channel::BlockWriter w(small, sizeof small);
    EXPECT_FALSE(MPEG::write_section_packets(w, single, section.data(), section.size()));
}

// What a standard demultiplexer makes of a re-emitted multi-packet PMT: ffprobe must find the
// program, its PMT PID, its PCR PID and all 40 streams with their types. (Tried by hand: with
// payload_unit_start and the first packet's counter on every continuation packet, ffprobe 5.1
// finds no program at all in the same file.)
TEST(SectionPackets, FfprobeReadsAReEmittedMultiPacketPmt) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    MPEG::PAT pat;
    pat.header.table_id_extension = 7;
    pat.header.current_next = true;
    pat.programs[1] = 0x1000;
    std::vector<uint8_t> pat_section, pmt_section;
    ASSERT_TRUE(MPEG::write_pat(pat, pat_section));
    ASSERT_TRUE(MPEG::write_pmt(long_pmt(), pmt_section));
    std::string file;
    MPEG::TSPacket pat_shape, pmt_shape;
    pmt_shape.pid = 0x1000;
    for (int repeat = 0; repeat < 10; ++repeat) {
        for (const auto& bytes : {MPEG::section_packets(pat_shape, pat_section),
                                  MPEG::section_packets(pmt_shape, pmt_section)})
            file.append(bytes.begin(), bytes.end());
        pat_shape.continuity_counter = (pat_shape.continuity_counter + 1) & 15;
        pmt_shape.continuity_counter = (pmt_shape.continuity_counter + 3) & 15;
    }
    Corvid::Testing::TempDir dir;
    Corvid::Testing::write_file(dir.file("pmt.ts"), file);
    auto programs = ffprobe_programs(dir.file("pmt.ts"));
    ASSERT_EQ(programs.size(), 1u);
    ASSERT_TRUE(programs.count(1));
    EXPECT_EQ(programs[1].pmt_pid, 0x1000);
    EXPECT_EQ(programs[1].pcr_pid, 0x100);
    EXPECT_EQ(programs[1].streams, streams_of(long_pmt()));
}
