// Packets, section reassembly and the table readers and writers, on real data and hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "gantry/channel/channel.h"
#include "gantry/log/tests/line_limit.h"
#include "mpeg/mpeg.h"
#include "mpeg/tests/sections.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using namespace Corvid::Testing;
using Lines = std::vector<std::string>;
using Result = MPEG::TableReader::Result;
constexpr Result complete = MPEG::TableReader::complete, discarded = MPEG::TableReader::discarded,
                 need_more = MPEG::TableReader::need_more;

namespace {

Bytes packet_bytes(std::initializer_list<uint8_t> head, uint8_t fill = 0xAB) {
    Bytes p(MPEG::ts_packet_size, fill);
    std::copy(head.begin(), head.end(), p.begin());
    return p;
}

Bytes rewritten(const MPEG::TSPacket& p) {
    Bytes out(188);
    Channel::BlockWriter w(out.data(), out.size());
    size_t length = p.payload.size();
    uint32_t counter = 0;
    EXPECT_TRUE(MPEG::TSPacket::write(w, p, p.payload.data(), length, counter, true));
    EXPECT_EQ(w.offset() + counter, 188u);  // keep-counter leaves the running counter alone
    return out;
}

struct AnyTableReader : MPEG::TableReader {
    bool accepts_table_id(uint8_t id) const override { return id >= 0x4E && id <= 0x6F; }
    bool has_long_header() const override { return true; }
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
    if (result == complete && bytes) bytes->assign(data + length + 4 - total, data + length + 4);
    if (result == complete) reader.consume(total);
    return result;
}

// The first complete table on one PID of a file, and the section bytes it came from.
template <typename Reader, typename Table>
bool first_table(const std::string& path, uint16_t pid, Table& table, Bytes& original) {
    const auto data = read_file(path);
    Reader reader;
    MPEG::TSPacket packet;
    for (size_t at = 0; at + 188 <= data.size(); at += 188) {
        if (!MPEG::TSPacket::read(data.data() + at, packet) || packet.pid != pid) continue;
        reader.add(packet);
        for (original.clear(); next(reader, &original) != need_more; original.clear())
            if (!original.empty() && read_one<Reader>(cat({{0}, original}), table) == complete)
                return true;
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
    std::string out = std::to_string(pmt_pid) + "," + std::to_string(pmt.pcr_pid) + ",";
    for (const auto& stream : pmt.streams) {
        char line[32];
        std::snprintf(line, sizeof line, "0x%04x,0x%x\n", stream.stream_type, stream.pid);
        out += line;
    }
    return out + "\n";
}

template <typename Table, typename Write>
Bytes written(const Table& table, Write write) {
    Bytes out;
    EXPECT_TRUE(write(table, out));
    return unpointed(out);
}

}  // namespace

// Adaptation field lengths at their limits, and the failures with the lines an operator greps for,
// rate-limited. A field length of 184 or more must not move the reader into the next packet.
TEST(TSPacketRead, AdaptationFieldLimitsAndFailures) {
    LineLimitOff unlimited;
    const struct {
        Bytes bytes;
        size_t length;
        int payload;  // -1: fails
        const char* line;
    } cases[] = {
        {packet_bytes({0x47, 0x00, 0x11, 0x30, 0}), 188, 183, nullptr},
        {packet_bytes({0x47, 0x00, 0x11, 0x20, 183, 0xC0}), 188, 0, nullptr},
        {packet_bytes({0x47, 0x01, 0x00, 0x30, 2, 0x50}), 188, 181, nullptr},  // too short for PCR
        {packet_bytes({0x47, 0x00, 0x11, 0x20, 184}, 0x47), 188, -1, "1 Bad TS payload size"},
        {packet_bytes({0x48, 0x00, 0x00, 0x10}), 188, -1, "1 Could not read TS header"},
        {packet_bytes({0x47, 0x00, 0x00, 0x10}), 100, -1, "1 TS packet truncated"},
    };
    for (const auto& c : cases) {
        MPEG::TSPacket p;
        Channel::BlockReader r(c.bytes.data(), c.length);
        LogCapture log;
        EXPECT_EQ(MPEG::TSPacket::read(r, p) ? int(p.payload.size()) : -1, c.payload) << c.line;
        EXPECT_EQ(log.lines(), c.line ? Lines{c.line} : Lines{}) << int(c.bytes[4]);
        EXPECT_LE(r.offset(), c.length);
    }
    MPEG::TSPacket p;
    // A corrupt feed's lines must not make every capture thread queue behind the log's locks;
    // the limit is per thread, so this runs on one of its own.
    LogCapture log;
    std::thread([&] {
        Gantry::Time::Stamp now("2024-03-04T12:00:00Z");
        Gantry::Log::thread_limiter().set_clock([&] { return now; });
        for (int i = 0; i < 100; i++)
            MPEG::TSPacket::read(packet_bytes({0x48}).data(), p);
        now += Gantry::Time::Duration(1.0);
        MPEG::TSPacket::read(packet_bytes({0x48}).data(), p);
    }).join();
    ASSERT_EQ(log.count(), 6u);
    EXPECT_EQ(log.lines().back(), "1 Could not read TS header (95 more suppressed)");
}

// Found by the fuzzer: an extension of 511 (the field allows 0..299) with the largest base reads as
// a PCR past the 2^33 x 300 tick wrap; written back it is stored modulo the wrap (211 ticks).
TEST(TSPacketRead, OutOfRangePcrExtensionWrapsWhenWrittenBack) {
    MPEG::TSPacket p, q;
    const auto bytes =
        packet_bytes({0x47, 0x00, 0x7E, 0x3D, 0x6A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_TRUE(MPEG::TSPacket::read(bytes.data(), p));
    const double ticks = (std::pow(2.0, 33) - 1) * 300 + 511;
    EXPECT_DOUBLE_EQ(p.pcr, ticks / 27e6);
    ASSERT_TRUE(MPEG::TSPacket::read(rewritten(p).data(), q));
    EXPECT_DOUBLE_EQ(q.pcr, (ticks - std::pow(2.0, 33) * 300) / 27e6);
    EXPECT_EQ(q.payload, p.payload);
}

// As the capture notes say: 562 packets with scrambling bits, discontinuity flags (not the "2" of
// the notes), four adaptation field lengths above 183 dropped without disturbing what follows.
TEST(TSPacketRead, RealCaptureMatchesTheCaptureNotes) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-143.ts");
    LineLimitOff unlimited;
    LogCapture log;
    const auto data = read_file(path);
    size_t scrambled = 0;
    std::string discontinuities;
    MPEG::TSPacket p;
    for (size_t at = 0; at < data.size(); at += 188) {
        MPEG::TSPacket::read(data.data() + at, p);
        scrambled += p.scrambling != 0;  // a dropped packet still has its header read
        if (p.discontinuity) discontinuities += " " + std::to_string(at / 188);
    }
    EXPECT_EQ(std::to_string(scrambled) + discontinuities, "562 210 451 1095 1199 1305 2925");
    EXPECT_EQ(log.lines(), Lines(4, "1 Bad TS payload size"));
}

// On an FFmpeg stream random_access_indicator marks exactly the packets where ffprobe's keyframes
// start, and every packet written back with its own counter comes out byte for byte the same.
TEST(TSPacketRead, FfmpegStreamAgreesWithFfprobeAndRewritesByteForByte) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    bool ok = false;
    const auto probed = ffprobe_packets(path, "v:0", &ok);
    ASSERT_TRUE(ok && !probed.empty());
    std::set<uint64_t> keyframes, random_access;
    for (const auto& p : probed)
        if (p.key) keyframes.insert(static_cast<uint64_t>(p.pos));
    const auto data = read_file(path);
    MPEG::TSPacket p;
    for (size_t at = 0; at < data.size(); at += 188) {
        ASSERT_TRUE(MPEG::TSPacket::read(data.data() + at, p));
        ASSERT_TRUE(std::equal(data.begin() + at, data.begin() + at + 188, rewritten(p).begin()))
            << "packet at " << at;
        if (p.random_access && p.pid == 0x100) random_access.insert(at);
    }
    EXPECT_EQ(keyframes.size(), 2u);
    EXPECT_EQ(random_access, keyframes);
}

// A wrong CRC drops everything buffered after it, until the next start.
TEST(TableReader, CrcCheckValueAndBadCrc) {
    EXPECT_EQ(MPEG::crc32_mpeg2(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x0376E6E7u);
    auto bad = body_section(0x4E, 30);
    bad[20] ^= 0x01;
    AnyTableReader reader;
    ASSERT_TRUE(add(reader, cat({{0}, bad, body_section(0x4E, 30)})));
    EXPECT_EQ(next(reader), discarded);
    EXPECT_EQ(reader.buffered() + next(reader), size_t{need_more});
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
    } cases[] = {
        {body_section(0x4D, 10), discarded},
        {body_section(0x4E, 1021 - 9 + 1), discarded},
        {body_section(0x4E, 1021 - 9), complete},
        {crc({0x4E, 0xB0, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0}), discarded},
        {crc({0x4E, 0xB0, 0x05, 0, 0, 0, 0, 0}), discarded},
    };
    for (const auto& c : cases) {
        AnyTableReader reader;
        add(reader, cat({{0}, c.section}));
        EXPECT_EQ(next(reader), c.result) << c.section.size() << " bytes";
        EXPECT_TRUE(c.result != discarded || reader.buffered() == 0) << c.section.size();
    }
}

// Garbage that never forms a section must not grow the buffer without bound; a start packet
// arriving at the bound begins a new section rather than being lost.
TEST(TableReader, BufferIsBoundedWhenSectionsNeverComplete) {
    AnyTableReader reader;
    Bytes garbage(184, 0x4E), s = body_section(0x4E, 50), out;
    garbage[0] = 0;
    ASSERT_TRUE(add(reader, garbage));
    while (reader.buffered() + 184 <= 1021 + 3 + 184)
        add(reader, garbage, false);
    EXPECT_TRUE(add(reader, cat({{0}, s, Bytes(133 - s.size(), 0xFF)})));
    EXPECT_EQ(next(reader, &out), complete);
    EXPECT_EQ(out, s);
}

// The PAT and PMT of program 1 in an Italian multiplex against ffprobe, the CA systems of a French
// pay-TV capture's CAT against its notes; all written back byte for byte, and no section longer
// than a reader takes. A partial PAT entry is ignored, a repeated program keeps the last PID, and
// PMT lengths running past the body discard the section.
TEST(PSITables, RealSectionsMatchFfprobeAndTheNotesAndWriteBackIdentically) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/misc/tsduck-test-018.ts");
    CORVID_REQUIRE_SHARED(cat_path, "testdata/ts/epg/tsduck-test-030.ts");
    MPEG::PAT pat;
    MPEG::PMT pmt;
    MPEG::CAT ca;
    Bytes pat_bytes, pmt_bytes, cat_bytes;
    ASSERT_TRUE((first_table<MPEG::PATReader>(path, 0x0000, pat, pat_bytes)));
    const uint16_t pmt_pid = pat.programs[1];
    ASSERT_TRUE((first_table<MPEG::PMTReader>(path, pmt_pid, pmt, pmt_bytes)));
    ASSERT_TRUE((first_table<MPEG::CATReader>(cat_path, 0x0001, ca, cat_bytes)));
    std::set<uint16_t> systems;
    for (const auto& d : ca.descriptors)
        if (d.tag == 0x09 && d.data.size() >= 4)
            systems.insert(uint16_t(d.data[0] << 8 | d.data[1]));
    EXPECT_EQ(systems, (std::set<uint16_t>{0x0500, 0x1811, 0x1863, 0x1883}));
    EXPECT_EQ(written(pmt, MPEG::write_pmt), pmt_bytes);
    EXPECT_EQ(written(pat, MPEG::write_pat), pat_bytes);
    EXPECT_EQ(written(ca, MPEG::write_cat), cat_bytes);
    const Bytes body = {0x00, 0x05, 0xE1, 0x00, 0x00, 0x05, 0xE2, 0x00, 0x00, 0x07, 0xE3};
    ASSERT_EQ((read_one<MPEG::PATReader>(section(0x00, 1, body), pat)), complete);
    EXPECT_EQ(pat.programs, (std::map<uint16_t, uint16_t>{{5, 0x200}}));
    ca.descriptors.assign(4, {0x09, Bytes(251, 0)});  // 1012 bytes of body: the longest accepted
    EXPECT_TRUE(MPEG::write_cat(ca, cat_bytes));
    ca.descriptors[0].data.push_back(0);  // a section every reader would reject
    EXPECT_FALSE(MPEG::write_cat(ca, cat_bytes));
    for (const Bytes& bad : {Bytes{0xE1, 0x00, 0xF0}, Bytes{0xE1, 0x00, 0xF0, 0x03, 0x09, 0x00},
                             Bytes{0xE1, 0x00, 0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xFF, 0xFF, 0x00}})
        EXPECT_EQ((read_one<MPEG::PMTReader>(section(0x02, 1, bad), pmt)), discarded);
    CORVID_REQUIRE_PROGRAM("ffprobe");
    EXPECT_EQ(probed(path).find(listed(pmt_pid, pmt)), 0u) << listed(pmt_pid, pmt);
}

// A 40-stream PMT over three packets reads back, and ffprobe finds it (with payload_unit_start and
// the first counter on every packet, ffprobe 5.1 finds no program at all).
TEST(SectionPackets, MultiPacketPmtReadsBackAndFfprobeFindsIt) {
    MPEG::PMT pmt;
    pmt.header = {.table_id = 0x02, .current_next = true, .table_id_extension = 1};
    pmt.pcr_pid = 0x1100;
    for (unsigned i = 0; i < 40; ++i)
        pmt.streams.push_back(
            {uint8_t(2 + i % 5), uint16_t(0x100 + i), {{0x0A, {'e', 'n', 'g', 0}}}});
    MPEG::PAT pat;
    pat.header.current_next = true;
    pat.programs[1] = 0x1000;
    Bytes s, pat_section, file;
    ASSERT_TRUE(MPEG::write_pmt(pmt, s) && MPEG::write_pat(pat, pat_section));
    MPEG::TSPacket shape, pat_shape;
    shape.pid = 0x1000;
    for (int repeat = 0; repeat < 10; ++repeat) {
        file = cat(
            {file, MPEG::section_packets(pat_shape, pat_section), MPEG::section_packets(shape, s)});
        pat_shape.continuity_counter = (pat_shape.continuity_counter + 1) & 15;
        shape.continuity_counter = (shape.continuity_counter + 3) & 15;
    }
    TempDir dir;
    write_file(dir.file("pmt.ts"), std::string(file.begin(), file.end()));
    MPEG::PMT back;
    ASSERT_TRUE((first_table<MPEG::PMTReader>(dir.file("pmt.ts"), 0x1000, back, file)));
    EXPECT_EQ(listed(0x1000, back), listed(0x1000, pmt));
    CORVID_REQUIRE_PROGRAM("ffprobe");
    EXPECT_EQ(probed(dir.file("pmt.ts")), listed(0x1000, pmt));
}

TEST(SiTime, MjdAndBcdTimes) {
    const struct {
        uint8_t bytes[5];
        const char* iso;  // "" for no valid time
    } starts[] = {
        {{0xB0, 0xA2, 0x12, 0x45, 0x00}, "1982-09-06T12:45:00Z"},  // EN 300 468's example
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
        const auto t = MPEG::decode_mjd_time(s.bytes);
        EXPECT_EQ(t.valid() ? t.iso() : "", s.iso) << s.iso;
    }
}

// An EIT whose event loop runs past its body goes whole; up to four bytes after the last event are
// tolerated.
TEST(EITReader, LoopBounds) {
    const Bytes event =  // event 2 at 2024-03-04 13:00 for 30 minutes, with one descriptor
        cat({{0x00, 0x02, 0xEB, 0xD5, 0x13, 0x00, 0x00, 0x00, 0x30, 0x00, 0x80, 0x06},
             descriptor(0x4D, {'e', 'n', 'g', 0})});
    for (const Bytes& tail : {Bytes(5, 0), Bytes(4, 0)}) {
        MPEG::EIT eit;
        const auto s = section(0x6F, 7, cat({{0x00, 0x04, 0x20, 0xFA, 0x00, 0x4E}, event, tail}));
        EXPECT_EQ((read_one<MPEG::EITReader>(s, eit)), tail.size() == 4 ? complete : discarded);
        EXPECT_EQ(eit.events.size(), tail.size() == 4 ? 1u : 0u);
    }
}
