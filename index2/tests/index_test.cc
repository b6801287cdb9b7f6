// The index writer, the file layout, the reader and the generator; real streams against ffprobe.
// What entries hold is checked end to end too: cv-index's oracle test decodes each one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/channel/stream.h"
#include "index2/index_reader.h"
#include "index2/index_writer.h"
#include "indexgen/index_generator.h"
#include "indexgen/ts_pipe.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2 {
namespace {

using Bytes = std::vector<uint8_t>;
using Corvid::Testing::read_file;
using Corvid::Testing::shell_quote;
using Corvid::Testing::write_file;
using IndexGen::IndexGenerator;
using IndexGen::PacketRecord;
using IndexGen::TSPipeline;
using Lines = std::vector<std::string>;

// Every block after the header, which must be the default one; and the file whole blocks.
std::vector<Block> read_blocks(const std::string& path) {
    const Bytes bytes = read_file(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 256)),
              std::string("CVI2\0\0\1\0\0\0\0\0\0\0\1\0", 16) + std::string(240, '\0'));
    EXPECT_EQ(bytes.size() % kDefaultBlockSize, 0u) << path;
    std::vector<Block> blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (in.skip(kDefaultBlockSize); in.remaining() >= kDefaultBlockSize;)
        blocks.emplace_back().read(in);
    return blocks;
}

Block npt_block(uint64_t offset, double npt, uint32_t flags = kFlagNewNpt, uint16_t count = 0,
                uint16_t index = 0) {
    return {
        .offset = offset, .npt = npt, .flags = flags, .count = count, .index = index, .data = {}};
}

// A whole index file: the header (sizes as given), then the blocks.
std::string file_of(const std::vector<Block>& blocks, uint32_t size = 256, uint32_t block = 256) {
    std::ostringstream out;
    Gantry::Channel::StreamWriter writer(out);
    for (uint32_t word : {kMagic, size, 0u, block})
        writer.write_nbo_32(word);
    writer.skip(240);
    for (const Block& b : blocks)
        b.write(writer);
    return out.str();
}

// A record of an intra picture on the video PID; one with frame marks goes inline.
PacketRecord video(uint64_t offset, double npt, std::vector<IndexGen::FrameMark> marks = {},
                   uint32_t counter = 0) {
    PacketRecord record(MPEG::TSPacket{
        .pid = 0x100, .continuity_counter = counter, .payload = Bytes(184), .offset = offset});
    record.state = PacketRecord::intra;
    record.npt = npt;
    record.modified = !marks.empty();
    record.intra_start = std::any_of(marks.begin(), marks.end(), [](auto m) { return !m.is_end; });
    record.marks = std::move(marks);
    return record;
}

MPEG::TSPacket packet(uint16_t pid, uint64_t offset, double pcr = -1.0, Bytes payload = {}) {
    return {.pid = pid, .pcr = pcr, .payload = std::move(payload), .offset = offset};
}

class IndexTest : public ::testing::Test {
  protected:
    // Program 5 on PMT PID 0x20, after the network PID; the last of its video streams, MPEG-2 on
    // 0x100, is indexed; its clock runs on 0x101. Repeated tables change nothing.
    void announce() {
        const MPEG::SectionHeader header{.current_next = true, .table_id_extension = 5};
        Bytes pat, pmt;
        ASSERT_TRUE(MPEG::write_pat({header, {{0, 0x10}, {5, 0x20}}}, pat));
        ASSERT_TRUE(MPEG::write_pmt({header,
                                     0x101,
                                     {{9, {0x05, 0x00, 0xE1, 0x23}}},
                                     {{0x1B, 0x102, {}}, {0x03, 0x103, {}}, {0x02, 0x100, {}}}},
                                    pmt));
        for (auto pid : {0, 0x20, 0, 0x20}) {
            MPEG::TSPacket table = packet(static_cast<uint16_t>(pid), 0, -1.0, pid ? pmt : pat);
            table.payload_unit_start = true;
            generator.process(table);
        }
    }

    Corvid::Testing::TempDir dir;
    std::string path = dir.file("segment.ts.cvi2");
    Corvid::Testing::LogCapture log;
    IndexWriter writer;  // a sink for the generator unless opened
    IndexGenerator generator{writer, -1.0};
    Block block;
    uint64_t position = 0, offset = 0;
    double npt = 0;
};

// A crash can cut the index anywhere, here in the last blocks of a four-block entry: resuming trims
// the file to whole blocks and whole entries before appending, and writes no second header.
TEST_F(IndexTest, ResumingAfterACrashTrimsToWholeEntries) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_npt(188, 12.3456);
    writer.add_npt(376, 12.3456);                // unchanged: nothing
    writer.add_npt(564, 0.0);                    // unknown: nothing
    writer.set_psi_data(std::string(500, 'P'));  // three blocks, then the packet's
    writer.add_packet(video(752, 13, {{0, false}, {90, true}}));
    writer.close();
    const auto whole = read_file(path);
    ASSERT_EQ(read_blocks(path).size(), 5u);
    for (size_t cut = 0; cut <= whole.size(); cut += cut < 4 * 256 ? 100 : 1) {
        write_file(path, std::string(whole.begin(), whole.begin() + cut));
        ASSERT_EQ(writer.open(path, true), 0);
        writer.add_npt(9400, 20.0);
        writer.close();
        auto blocks = read_blocks(path);
        ASSERT_EQ(blocks.size(), cut < 512 ? 1u : cut < whole.size() ? 2u : 6u) << cut;
        EXPECT_EQ(std::pair(blocks.back().offset, blocks.back().npt), std::pair(9400ul, 20.0));
    }
    EXPECT_EQ(writer.open(dir.file("no/such/dir.cvi2"), false), 1);
}

// A picture that never ends (scrambled from its middle on) is dropped with one error line as the
// record at 65535 makes the entry's 65536th block; NPT blocks follow, then the next picture.
TEST_F(IndexTest, EntryOfAPictureThatNeverEndsIsBounded) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_packet(video(0, 1.0, {{0, false}}));
    for (int i = 1; i < 70000; ++i)
        writer.add_packet(video(i * 188, 1.0 + i * 0.04));
    writer.add_packet(video(70000 * 188, 3000.0, {{0, false}, {100, true}}));
    writer.close();
    EXPECT_EQ(log.take(), Lines{"1 Intra entry longer than 65535 blocks - dropped"});
    auto blocks = read_blocks(path);
    ASSERT_EQ(blocks.size(), 70000u - 65536u + 1);
    EXPECT_EQ(std::tuple(blocks[0].offset, blocks[0].npt, blocks.back().npt, blocks.back().count),
              std::tuple(65536ul * 188, 2622.44, 3000.0, uint16_t{1}));
}

// One packet may end an intra picture and begin the next: the entry it ends is written before the
// next replaces it, with the packet's bytes up to the end mark unless that lies in the PES header.
// The video header's counters run up to the entry's first packet's.
TEST_F(IndexTest, PacketEndingOnePictureAndStartingTheNextKeepsBothEntries) {
    ASSERT_EQ(writer.open(path, false), 0);
    writer.add_packet(video(1000, 1.0, {{10, false}}));
    PacketRecord both = video(1376, 1.04, {{13, true}, {14, false}});
    both.es_offset = 14;
    writer.add_packet(both);
    writer.set_video_header(std::string(2 * 188, '\x15'));
    writer.add_packet(video(1752, 1.08, {{30, true}, {40, false}}, 9));
    writer.add_packet(video(1940, 1.08, {{20, true}}));
    writer.close();
    const auto blocks = read_blocks(path);
    ASSERT_EQ(blocks.size(), 7u);  // entries of 1, 2 and 4 blocks
    EXPECT_EQ(std::tuple(blocks[0].count, blocks[1].count, blocks[3].count), std::tuple(1, 2, 4));
    EXPECT_EQ(188 - 5 - static_cast<uint8_t>(blocks[2].data[4]), 31);  // the tail, after stuffing
    EXPECT_EQ(std::pair(blocks[3].data[3], blocks[3].data[188 + 3]), std::pair('\x17', '\x18'));
}

// Big-endian fields, 12.3456 s stored as 12345 ms, the data; and the block's dump.
TEST_F(IndexTest, LayoutAndDump) {
    Block b = npt_block(0x0102030405060708, 12.3456, 15, 3, 1);
    std::tie(b.ref_length, b.ref_offset, b.data) = std::tuple(9588, 56400, "G@\1\x10!");
    write_file(path, file_of({b}));
    EXPECT_EQ(file_of({b}).substr(256, 41),
              std::string("\1\2\3\4\5\6\7\x08\0\0\x30\x39\0\0\0\x0f\0\3\0\1\0\0\x25\x74\0\0\0\0"
                          "\0\0\xdc\x50\0\0\0\x05G@\1\x10!",
                          41));
    ASSERT_TRUE(IndexReader(path).read_block(256, block));
    std::ostringstream dump;
    block.dump(dump, true);
    EXPECT_EQ(dump.str(),
              "Index2 block[256]: NPT 12.345@72623859790382856 NEW-NPT INTRA (1/3)\n"
              "  Ref data: 9588@56400\n  Inline data (5):\n"
              "    47400110 21                          G@..!\n");
}

// Hostile headers, lengths, counts and NPTs give the format's errors through the reader's lines,
// never a read past the data or an allocation sized by the file.
TEST_F(IndexTest, RefusalsLogTheirReason) {
    const std::string invalid = "File " + path + " is not a valid CVI2 file: Channel error ";
    const std::string corrupt = "Corrupt CVI2 file: Channel error ";
    std::string length_221 = file_of({Block{}}), length_max = length_221;
    length_221[256 + 35] = static_cast<char>(221);
    length_max.replace(256 + 32, 4, 4, '\xFF');  // must not wrap the bounds check
    std::vector<Block> no_new_npt(40, npt_block(376, 1.0, 0));
    no_new_npt.insert(no_new_npt.begin(), npt_block(188, 1.0));
    no_new_npt.push_back(npt_block(9000, 9.0));
    enum Op { last_intra, entry, search };
    const std::tuple<std::string, Op, std::string> cases[] = {
        {"CVI1" + std::string(252, '\0'), entry, invalid + "(2): Not a CVI2 file"},
        {file_of({}, 8), entry, invalid + "(1): Header size too small"},
        {file_of({}, 256, 15), entry, invalid + "(1): Block size too small"},
        {file_of({}, 0x7F000000, 0x7F000000), entry, invalid + "(1): Block size too large"},
        {file_of({}, 512, 256), entry, invalid + "(1): Header size differs from block size"},
        {file_of({}).substr(0, 100), entry, invalid + "(0): EOF"},
        {file_of({}), last_intra, "No matching blocks in index file"},
        {file_of({npt_block(188, 0.5), npt_block(376, 0, kFlagIntra), npt_block(564, 0.6)}),
         last_intra, "Last block in index file has no NPT"},
        {length_221, entry, corrupt + "(1): Block data too long"},
        {length_max, entry, corrupt + "(1): Block data too long"},
        {file_of({npt_block(0, 1, 0, 3), npt_block(0, 1, 0, 3, 2), npt_block(0, 1, 0, 3, 2)}),
         entry, corrupt + "(2): Multiple block index out of sync"},
        {file_of({npt_block(0, 1, 0, 65535), npt_block(0, 1, 0, 65535, 1)}), entry,
         corrupt + "(0): EOF"},
        {file_of({npt_block(188, 1), npt_block(376, 3), npt_block(564, 2), npt_block(752, 4)}),
         search, "Index NPTs are mis-ordered (delta -1) - giving up"},
        {file_of(no_new_npt), search, "No NEW_NPT found in 16 blocks - giving up"},
    };
    for (const auto& [file, op, line] : cases) {
        write_file(path, file);
        IndexReader reader(path);
        EXPECT_FALSE(reader.valid() &&
                     (op == entry        ? reader.read_entry(256, block)
                      : op == last_intra ? reader.find_last_intra(block, position)
                                         : reader.find_npt(npt = 2.5, false, offset, position)));
        EXPECT_EQ(log.errors(), Lines{line});
        log.clear();
    }
    IndexReader missing(dir.file("missing.cvi2"));  // refused silently, and so is every operation
    EXPECT_FALSE(missing.valid() || missing.find_last_intra(block, position));
    EXPECT_TRUE(log.errors().empty());
}

// An index shaped like the daemon's: a stand-alone NEW-NPT block every 40 ms, and every 2 s instead
// an intra entry of 12 blocks. Offsets grow at 4 Mbit/s, on packet boundaries.
std::vector<Block> hour_of_index() {
    std::vector<Block> blocks;
    for (int tick = 1; tick <= 90000; ++tick) {
        const uint64_t at = static_cast<uint64_t>(tick * 0.04 * 500000) / 188 * 188;
        for (uint16_t i = 0; i < (tick % 50 == 5 ? 12 : 1); ++i)
            blocks.push_back(tick % 50 != 5 ? npt_block(at, tick * 0.04)
                                            : npt_block(at, tick * 0.04, i ? 0 : 3, 12, i));
    }
    return blocks;
}

// The search's expected results by a linear scan: the NEW-NPT block with the greatest NPT not
// above the target; with intra, the first INTRA block at or after the target if there is one.
double scan(const std::vector<Block>& blocks, double target, bool intra) {
    double result = blocks.front().npt;
    for (const Block& b : blocks)
        if (b.has(kFlagNewNpt) && b.npt <= target) result = b.npt;
    if (intra)
        for (const Block& b : blocks)
            if (b.has(kFlagIntra) && b.npt >= target) return b.npt;
    return result;
}

// The capture appends to the index of the segment it records, so a reader often meets a file that
// ends inside a block: only whole blocks count. A second index, of 40 s, has long entries after
// each NEW-NPT block: a guess inside one already past the target must move back towards it.
TEST_F(IndexTest, NptSearchMatchesLinearScan) {
    std::vector<Block> long_entries;
    for (int i = 1; i <= 40; ++i) {
        long_entries.push_back(npt_block(i * 100000, i));
        for (uint16_t k = 0; i % 4 == 0 && k < 12; ++k)
            long_entries.push_back(npt_block(i * 100000 + 188, i, k == 0 ? kFlagIntra : 0, 12, k));
    }
    for (const auto& [made, step, rate] :
         {std::tuple{hour_of_index(), 7.31, 4000000}, {long_entries, 0.37, 800000}}) {
        const std::string file = file_of(made);
        write_file(path, file);
        const auto blocks = read_blocks(path);  // NPTs in whole milliseconds
        write_file(path, file + file.substr(file.size() - 100));
        IndexReader reader(path);
        EXPECT_NEAR(reader.bit_rate(), rate, 1000);
        ASSERT_TRUE(reader.find_last_intra(block, position));
        EXPECT_EQ(block.offset, std::find_if(blocks.rbegin(), blocks.rend(), [](const Block& b) {
                                    return b.has(kFlagIntra);
                                })->offset);
        uint64_t most_reads = 0;
        for (double target = 0.05; target < blocks.back().npt; target += step) {
            for (bool intra : {false, true}) {
                reader.reset_blocks_read();
                ASSERT_TRUE(reader.find_npt(npt = target, intra, offset, position)) << target;
                most_reads = std::max(most_reads, reader.blocks_read());
                ASSERT_EQ(npt, scan(blocks, target, intra)) << target << intra;
                ASSERT_TRUE(reader.read_block(position, block));  // the position names the block
                EXPECT_EQ(std::pair(block.npt, block.offset), std::pair(npt, offset));
            }
        }
        EXPECT_LT(most_reads, 80u);  // interpolation, not a scan
        ASSERT_TRUE(reader.find_npt(npt = -3.0, true, offset = 99, position));
        EXPECT_EQ(std::tuple(npt, offset, position), std::tuple(0.0, 0ul, 256ul));
        ASSERT_TRUE(reader.find_npt(npt = 1e6, false, offset, position));
        EXPECT_EQ(std::pair(npt, offset), std::pair(blocks.back().npt, blocks.back().offset));
        EXPECT_EQ(position, blocks.size() * 256);
    }
}

TEST_F(IndexTest, RewriteShiftsOffsetsFromEachKey) {
    std::ostringstream out;
    write_file(path, file_of({npt_block(100, 0.1), npt_block(200, 0.2), npt_block(300, 0.3)}));
    ASSERT_TRUE(IndexReader(path).rewrite(out, {{150, 1000}, {300, -50}}));
    EXPECT_EQ(out.str(), file_of({npt_block(100, 0.1), npt_block(1200, 0.2), npt_block(250, 0.3)}));
}

// From a PCR of 1000 s: another programme's clock is ignored, a step under 10 ms waits, 3.5 s back
// freezes the NPT; 7.4 s on, 1001 s back and the discontinuity flag each start a new clock that
// goes on from the NPT reached. Wraps of the clock: see the 30-hour run.
TEST_F(IndexTest, NptFollowsOnlyItsProgrammesClock) {
    generator.process(packet(0x101, 0, 900.0));  // before the PMT names the PCR PID: no NPT
    EXPECT_EQ(generator.npt(), -1.0);
    announce();
    EXPECT_EQ(log.take(), (Lines{"2 PMT on PID: 32", "2 Detected MPEG-2 video stream on PID: 256",
                                 "2 Found CA data for capture on PID: 291"}));
    const struct {
        uint16_t pid;
        double pcr, npt;
        bool discontinuity = false;
    } steps[] = {{0x101, 1000.0, 0.0},     {0x300, 5.0, 0.0},    {0x101, 1000.005, 0.0},
                 {0x101, 1000.015, 0.015}, {0x101, 1002.5, 2.5}, {0x101, 999.0, 2.5},
                 {0x101, 1002.6, 2.6},     {0x101, 1010.0, 2.6}, {0x101, 1011.0, 3.6},
                 {0x101, 10.0, 3.6},       {0x101, 10.5, 4.1},   {0x101, 10.6, 4.1, true},
                 {0x101, 11.0, 4.5}};
    for (const auto& step : steps) {
        MPEG::TSPacket p = packet(step.pid, offset += 188, step.pcr);
        p.discontinuity = step.discontinuity;
        generator.process(p);
        EXPECT_NEAR(generator.npt(), step.npt, 1e-9) << step.pcr;
    }
    EXPECT_NEAR(generator.base_pcr(), 6.5, 1e-9);
    EXPECT_EQ(generator.last_pcr_offset(), offset);
}

// 30 hours of PCRs from three hours before the 26.5-hour wrap, in steps of 1 s, 15 ms and 6 ms: the
// NPT is the time elapsed, short of it only by a single 6 ms step.
TEST_F(IndexTest, NptCountsThroughPcrWrapsOverLongRuns) {
    announce();
    double pcr = IndexGenerator::pcr_wrap - 3 * 3600, elapsed = 0;
    generator.process(packet(0x101, 0, pcr));
    const double cycle[] = {1, 1, 1, 1, 1, 1, 1, 1, 0.015, 0.006, 0.006};
    for (size_t i = 0; elapsed < 30 * 3600; ++i) {
        const double step = cycle[i % std::size(cycle)];
        elapsed += step;
        pcr = std::fmod(pcr + step, IndexGenerator::pcr_wrap);
        generator.process(packet(0x101, i * 188, pcr));
        const double expected = i % std::size(cycle) == 9 ? elapsed - 0.006 : elapsed;
        if (std::fabs(generator.npt() - expected) > 1e-5)
            FAIL() << "NPT " << generator.npt() << " after " << elapsed << " s, step " << step;
    }
}

// A video PID whose PES packet never ends must not make the queue grow without bound.
TEST_F(IndexTest, QueueOfAnEndlessPesPacketIsBounded) {
    announce();
    MPEG::TSPacket start =
        packet(0x100, 564, -1.0, {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0, 0, 0, 1, 0xB3});
    start.payload_unit_start = true;
    generator.process(start);
    for (uint64_t i = 0; i < IndexGenerator::max_queued_records + 100; ++i)
        generator.process(packet(0x100, 752 + i * 188, -1.0, Bytes(184, 0x66)));
    EXPECT_LE(generator.queued(), IndexGenerator::max_queued_records);
    EXPECT_EQ(log.count("Video PES packet longer than", Gantry::Log::error_level), 1u);
}

// The index of a stream as a capture writes it, fed in datagrams of 7 packets. A generator before
// the pipeline's last pipe copies each payload instead of taking it: it writes the same index.
std::vector<Block> index_stream(const std::string& stream, const std::string& index) {
    const Bytes data = read_file(stream);
    IndexWriter taking, copying;
    EXPECT_EQ(taking.open(index, false) + copying.open(index + ".copied", false), 0);
    IndexGenerator copier(copying, -1.0), taker(taking, -1.0);
    TSPipeline pipeline;
    pipeline.add_pipe(copier);
    pipeline.add_pipe(taker);
    for (size_t at = 0; at < data.size(); at += 1316)
        pipeline.feed(data.data() + at, std::min<size_t>(1316, data.size() - at));
    taking.close();
    copying.close();
    EXPECT_EQ(read_file(index), read_file(index + ".copied"));
    return read_blocks(index);
}

// Two captures muxed with their own, unrelated clocks (the first programme, H.264 on 0x100, is
// indexed); a generated stream joined to a copy whose clock runs an hour later, both ways. Against
// ffprobe: NPT from near 0 to the video's span less its clock's jump, never back nor jumping, and
// an entry at each key frame (but perhaps the last, written as the next PES packet begins).
TEST(IndexGenerator, RealStreamsIndexOnTheirProgrammesClock) {
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    CORVID_REQUIRE_SHARED(mux, "tools/mux-programs.py");
    CORVID_REQUIRE_SHARED(first, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_SHARED(second, "testdata/ts/video/tsduck-test-025.ts");
    CORVID_REQUIRE_STREAM(stream, "mpeg2-closed-gop25.ts");
    Corvid::Testing::TempDir dir;
    const std::string one = shell_quote(stream), later = shell_quote(dir.file("later.ts"));
    const std::string joined = dir.file("joined.ts"), to = " > " + shell_quote(joined);
    for (const auto& [command, selector] :
         {std::pair{"python3 " + shell_quote(mux) + " " + shell_quote(joined) + " " +
                        shell_quote(first) + " " + shell_quote(second),
                    "i:256"},
          {"ffmpeg -v error -i " + one + " -c copy -output_ts_offset 3600 -f mpegts " + later +
               " && cat " + one + " " + later + to,
           "v:0"},
          {"cat " + later + " " + one + to, "v:0"}}) {
        int status = -1;
        Corvid::Testing::run_command(command, &status);
        ASSERT_EQ(status, 0) << command;
        std::vector<double> npts;
        std::vector<uint64_t> entries, keyframes;
        for (const auto& b : index_stream(joined, dir.file("index"))) {
            if (b.has(kFlagNewNpt)) npts.push_back(b.npt);
            if (b.has(kFlagIntra)) entries.push_back(b.offset);
        }
        double length = 0;
        int64_t last_dts = -1;
        for (const auto& p : Corvid::Testing::ffprobe_packets(joined, selector)) {
            if (p.key) keyframes.push_back(static_cast<uint64_t>(p.pos));
            if (p.dts < 0) continue;
            if (last_dts >= 0 && std::abs(p.dts - last_dts) < 90000)
                length += static_cast<double>(p.dts - last_dts) / 90000;
            last_dts = p.dts;
        }
        ASSERT_GT(npts.size(), 10u);
        EXPECT_LT(npts.front(), 0.2);
        EXPECT_NEAR(npts.back(), length, 0.3);
        for (size_t i = 1; i < npts.size(); ++i)
            ASSERT_TRUE(npts[i] > npts[i - 1] && npts[i] < npts[i - 1] + 0.2) << npts[i];
        if (entries.size() + 1 == keyframes.size()) keyframes.pop_back();
        EXPECT_EQ(entries, keyframes) << command;
    }
}

}  // namespace
}  // namespace Corvid::Index2
