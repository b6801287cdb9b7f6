#include "epg/epg_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "epg/epg_store.h"
#include "tests/support/log_capture.h"
#include "epg/tests/si_builder.h"
#include "epg/utf8.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Corvid::Testing::LogCapture;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;
using namespace Sections;
using ::testing::StartsWith;

constexpr uint16_t PAT = 0x0000, SDT = 0x0011, EIT = 0x0012;

// 2024-03-04 is MJD 60373 (0xEBD5).
Bytes start_at(uint8_t hour_bcd, uint8_t minute_bcd = 0x00) {
    return {0xEB, 0xD5, hour_bcd, minute_bcd, 0x00};
}
const Bytes half_hour = {0x00, 0x30, 0x00};

class DecoderTest : public ::testing::Test {
  protected:
    DecoderTest() : store([this] { return now; }), decoder(store) {
        owner.id = "cap";
        owner.history_length = Duration(3600.0);
    }

    void feed(const Bytes& bytes, const ServiceOwner* as = nullptr) {
        process_data(decoder, bytes.data(), bytes.size(), state, as ? as : &owner);
    }
    void feed_without_owner(const Bytes& bytes) {
        process_data(decoder, bytes.data(), bytes.size(), state, nullptr);
    }
    // The PAT naming service sid and the SDT naming it.
    void announce(uint16_t sid, const std::string& name = "Name") {
        feed(packetize(pat_section({{sid, 0x100}}), PAT));
        feed(packetize(
            sdt_section(0x42, {{sid, service_descriptor(bytes_of("Prov"), bytes_of(name))}}), SDT));
    }
    std::vector<EPGServiceListing> guide() {
        std::vector<EPGServiceListing> all;
        store.get_all(all);
        return all;
    }

    Stamp now = Stamp("2024-03-04T10:37:00Z");
    EPGStore store;
    EPGDecoder decoder;
    EPGStreamState state;
    ServiceOwner owner;
};

TEST_F(DecoderTest, DatagramsSplitAnywhere) {
    // Seven packets in one 1316-byte datagram: the last one counts.
    Bytes datagram;
    for (uint16_t sid = 1; sid <= 7; sid++) {
        Bytes p = packetize(pat_section({{sid, 0x100}}), PAT);
        datagram.insert(datagram.end(), p.begin(), p.end());
    }
    ASSERT_EQ(datagram.size(), 1316u);
    feed(datagram);
    EXPECT_EQ(state.service_id, 7);
    EXPECT_TRUE(state.carry.empty());
    // 100 bytes then 88 make one packet.
    Bytes p = packetize(pat_section({{42, 0x100}}), PAT);
    feed(Bytes(p.begin(), p.begin() + 100));
    EXPECT_EQ(state.service_id, 7);
    EXPECT_EQ(state.carry.size(), 100u);
    feed(Bytes(p.begin() + 100, p.end()));
    EXPECT_EQ(state.service_id, 42);
    EXPECT_TRUE(state.carry.empty());
}

// A stream that does not start on a packet boundary (or loses bytes on the way) used to be dropped
// packet by packet for ever; the decoder now finds the next packet start and carries on.
TEST_F(DecoderTest, MisalignedStreamResynchronises) {
    Bytes stream = {0x12};  // one stray byte before the first packet
    for (int i = 0; i < 3; i++) {
        Bytes p = packetize(pat_section({{static_cast<uint16_t>(10 + i), 0x100}}), PAT);
        stream.insert(stream.end(), p.begin(), p.end());
    }
    LogCapture log;
    for (size_t pos = 0; pos < stream.size(); pos += 100)
        feed(Bytes(stream.begin() + static_cast<long>(pos),
                   stream.begin() + static_cast<long>(std::min(stream.size(), pos + 100))));
    EXPECT_EQ(state.service_id, 12);
    EXPECT_EQ(log.count("EPG Parser could not read TS header", 1), 1u);
    // Garbage with no packet start at all is dropped without growing the carry buffer.
    Bytes garbage(5000, 0x00);
    feed(garbage);
    EXPECT_LT(state.carry.size(), 188u);
}

TEST_F(DecoderTest, BadPacketsAreLoggedAndDropped) {
    LogCapture log;
    Bytes bad_adaptation = packetize(pat_section({{5, 0x100}}), PAT);
    bad_adaptation[3] = 0x30;  // adaptation field follows...
    bad_adaptation[4] = 184;   // ...longer than the packet
    feed(bad_adaptation);
    EXPECT_TRUE(log.contains("EPG Parser: Bad TS payload size", 1));
    Bytes truncated = packetize(pat_section({{6, 0x100}}), PAT);
    Gantry::Channel::BlockReader reader(truncated.data(), 100);
    process_packet(decoder, reader, state, &owner);
    EXPECT_TRUE(log.contains("EPG Parser: TS packet truncated", 1));
    EXPECT_EQ(state.service_id, 0);
    Bytes other_pid = packetize(pat_section({{7, 0x100}}), 0x0100);
    feed(other_pid);
    EXPECT_EQ(state.service_id, 0);
}

TEST_F(DecoderTest, PatChoosesTheLowestProgram) {
    feed(packetize(pat_section({{0, 0x10}, {5, 0x100}, {3, 0x101}}), PAT));
    EXPECT_EQ(state.service_id, 3);
    state.provider = "p";
    state.name = "n";
    feed(packetize(pat_section({{7, 0x100}}, false), PAT));  // not current: ignored
    EXPECT_EQ(state.service_id, 3);
    feed(packetize(pat_section({{7, 0x100}}), PAT));
    EXPECT_EQ(state.service_id, 7);
    EXPECT_EQ(state.provider, "");
    EXPECT_EQ(state.name, "");
}

TEST_F(DecoderTest, MythTVPat) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-pat.bin");
    feed(packetize(with_pointer_field(Corvid::Testing::read_file(path)), PAT));
    EXPECT_EQ(state.service_id, 11110);
}

TEST_F(DecoderTest, SdtNamesTheStreamsOwnService) {
    LogCapture log;
    feed(packetize(pat_section({{0x401, 0x100}}), PAT));
    // Other-network SDT for the same id: not used.
    feed(packetize(sdt_section(0x46, {{0x401, service_descriptor(bytes_of("X"), bytes_of("Y"))}}),
                   SDT));
    EXPECT_TRUE(guide().empty());
    Bytes sdt =
        packetize(sdt_section(0x42, {{0x400, service_descriptor(bytes_of("A"), bytes_of("Other"))},
                                     {0x401, service_descriptor(bytes_of("\x05M6 Group"),
                                                                bytes_of("\x05M\xE9t\xE9o"))}}),
                  SDT);
    feed(sdt);
    feed(sdt);  // a repeat reports nothing new
    auto all = guide();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].service.service_id, 0x401);
    EXPECT_EQ(all[0].service.id, "cap");
    EXPECT_EQ(all[0].service.provider, "M6 Group");
    EXPECT_EQ(all[0].service.name, "M\xC3\xA9t\xC3\xA9o");
    EXPECT_EQ(log.count("EPG - added service", 2), 1u);
    // A changed name is reported again; the store keeps the first record.
    feed(packetize(
        sdt_section(0x42, {{0x401, service_descriptor(bytes_of("M6 Group"), bytes_of("New"))}}),
        SDT));
    EXPECT_EQ(state.name, "New");
    EXPECT_EQ(guide()[0].service.name, "M\xC3\xA9t\xC3\xA9o");
}

TEST_F(DecoderTest, WithoutOwnerNoServiceIsCreated) {
    feed_without_owner(packetize(pat_section({{1, 0x100}}), PAT));
    feed_without_owner(
        packetize(sdt_section(0x42, {{1, service_descriptor(bytes_of("P"), bytes_of("N"))}}), SDT));
    feed_without_owner(packetize(
        eit_section(0x4E, 1, {{1, start_at(0x12), half_hour, short_event(bytes_of("T"), {})}}),
        EIT));
    EXPECT_TRUE(guide().empty());
    EXPECT_EQ(state.name, "");  // only an owner's stream reports names
    // Once a channel capture has added the service, an EPG stream supplies its events.
    store.add_service("cap", Duration(3600.0), 1, "P", "N");
    feed_without_owner(packetize(
        eit_section(0x50, 1, {{2, start_at(0x13), half_hour, short_event(bytes_of("T2"), {})}}),
        EIT));
    ASSERT_EQ(guide()[0].events.size(), 1u);
    EXPECT_EQ(guide()[0].events[0].name, "T2");
}

TEST_F(DecoderTest, EitEvents) {
    announce(1);
    Bytes undefined_start = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    feed(packetize(
        eit_section(0x4E, 1,
                    {{1, undefined_start, half_hour, short_event(bytes_of("never"), {})},
                     {2, start_at(0x12), half_hour, {}},
                     {3,
                      start_at(0x12, 0x30),
                      {0x01, 0x45, 0x30},
                      concat(short_event(bytes_of("first"), bytes_of("one")),
                             short_event(bytes_of("\x05Second"), bytes_of("\x05two\x8Alines")))}}),
        EIT));
    auto all = guide();
    ASSERT_EQ(all.size(), 1u);
    ASSERT_EQ(all[0].events.size(), 2u);
    const EPGEvent& plain = all[0].events[0];
    EXPECT_EQ(plain.id, 2);
    EXPECT_EQ(plain.name, "");
    EXPECT_EQ(plain.description, "");
    EXPECT_EQ(plain.start.iso(), "2024-03-04T12:00:00Z");
    const EPGEvent& named = all[0].events[1];
    EXPECT_EQ(named.id, 3);
    EXPECT_EQ(named.name, "Second");  // the later descriptor wins
    EXPECT_EQ(named.description, "two\nlines");
    EXPECT_EQ(named.duration.seconds(), 6330);
    // A section that is not current is ignored; one for an unknown service adds nothing.
    feed(packetize(eit_section(0x4E, 1, {{4, start_at(0x15), half_hour, {}}}, false, 2), EIT));
    feed(packetize(eit_section(0x4E, 2, {{5, start_at(0x15), half_hour, {}}}), EIT));
    EXPECT_EQ(guide()[0].events.size(), 2u);
}

TEST_F(DecoderTest, BrokenSectionsAddNothing) {
    announce(1);
    // A damaged byte: the CRC fails and the section goes.
    Bytes damaged = eit_section(0x4E, 1, {{1, start_at(0x12), half_hour, {}}});
    damaged[1 + 8 + 6 + 3] ^= 0x01;
    feed(packetize(damaged, EIT));
    // A correct CRC around an event whose descriptor loop runs past the body: the whole section
    // goes, the good event before it too.
    Bytes body = {0x00, 0x04, 0x20, 0xFA, 0x00, 0x4E};
    Bytes good = {0x00, 0x02, 0xEB, 0xD5, 0x13, 0x00, 0x00, 0x00, 0x30, 0x00, 0x80, 0x00};
    Bytes liar = {0x00, 0x03, 0xEB, 0xD5, 0x14, 0x00, 0x00, 0x00, 0x30, 0x00, 0x8F, 0xFF, 0x4D};
    feed(packetize(eit_raw_section(0x4E, 1, concat(concat(body, good), liar)), EIT));
    // Five bytes after the last event that do not make an event: the section goes as well.
    feed(packetize(eit_raw_section(0x4E, 1, concat(concat(body, good), Bytes(5, 0))), EIT));
    EXPECT_TRUE(guide()[0].events.empty());
    // Up to four are tolerated.
    feed(packetize(eit_raw_section(0x4E, 1, concat(concat(body, good), Bytes(4, 0))), EIT));
    EXPECT_EQ(guide()[0].events.size(), 1u);
    // A descriptor body too short for the lengths it gives yields empty strings.
    Bytes short_body = {'e', 'n', 'g', 50, 'a'};
    feed(packetize(
        eit_section(0x4E, 1, {{3, start_at(0x15), half_hour, descriptor(0x4D, short_body)}}), EIT));
    auto all = guide();
    ASSERT_EQ(all[0].events.size(), 2u);
    EXPECT_EQ(all[0].events[1].id, 3);
    EXPECT_EQ(all[0].events[1].name, "");
}

TEST_F(DecoderTest, DecodeTextFallsBackToTheDefaultTable) {
    Bytes no_table = {0x1F, 0x02, 'a', 0xA4, 'b'};
    EXPECT_EQ(decode_text(decoder, no_table.data(), no_table.size()),
              "a\xE2\x82\xAC"
              "b");
    Bytes selected = {0x05, 0x41, 0x8A, 0x42};
    EXPECT_EQ(decode_text(decoder, selected.data(), selected.size()), "A\nB");
}

// Whatever a Huffman table yields leaves the decoder as clean UTF-8: text in UTF-8 as it is,
// text with its own table selector or in the default table converted.
TEST_F(DecoderTest, HuffmanOutputIsMadeValidUtf8) {
    // START: 00 escape, 01 'a'; after 'a': 0 stop, 1 escape; after the bytes 0x05 and 0x1B:
    // 1 escape.
    auto& table = decoder.huffman_tables()[9];
    std::istringstream mappings(
        "START:00:ESCAPE:\n"
        "START:01:a:\n"
        "a:0:STOP:\n"
        "a:1:ESCAPE:\n"
        "0x05:1:ESCAPE:\n"
        "0x1b:1:ESCAPE:\n");
    ASSERT_TRUE(Huffman::read_table(table, mappings));
    auto text = [&](const std::string& bits) {
        Bytes field = {0x1F, 0x09};
        for (size_t i = 0; i < bits.size(); i += 8) {
            std::string byte = bits.substr(i, 8);
            byte.resize(8, '0');
            field.push_back(static_cast<uint8_t>(std::stoi(byte, nullptr, 2)));
        }
        return decode_text(decoder, field.data(), field.size());
    };
    // 'a', then the escaped bytes C3 A9 'b': UTF-8, kept as it is.
    EXPECT_EQ(text("01"
                   "1"
                   "11000011"
                   "10101001"
                   "01100010"),
              "a\xC3\xA9"
              "b");
    // 'a', E9 'b': not UTF-8, so read through the default table, where E9 is U+00D8.
    EXPECT_EQ(text("01"
                   "1"
                   "11101001"
                   "01100010"),
              "a\xC3\x98"
              "b");
    // A selector first: 0x05 (ISO 8859-9), then E9 'b' is e acute.
    EXPECT_EQ(text("00"
                   "00000101"
                   "1"
                   "11101001"
                   "01100010"),
              "\xC3\xA9"
              "b");
    // Control bytes XML cannot carry are dropped, at the start and inside.
    EXPECT_EQ(text("00"
                   "00011011"
                   "1"
                   "01000001"),
              "A");
    EXPECT_EQ(text("01"
                   "1"
                   "00000111"),
              "a");
}

TEST_F(DecoderTest, MythTVGermanEventWithSelector) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-eit4e-unitymedia-castle.bin");
    now = Stamp("2014-11-16T21:00:00Z");
    owner.all_services = true;
    feed(packetize(with_pointer_field(Corvid::Testing::read_file(path)), EIT));
    auto all = guide();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].service.service_id, 12102);
    ASSERT_EQ(all[0].events.size(), 1u);
    const EPGEvent& e = all[0].events[0];
    EXPECT_EQ(e.id, 48104);
    EXPECT_EQ(e.start.iso(), "2014-11-16T21:15:00Z");
    EXPECT_EQ(e.duration.seconds(), 55 * 60);
    EXPECT_EQ(e.name, "Castle");
    EXPECT_THAT(e.description,
                StartsWith("Krimiserie. Auf der Suche nach dem M\xC3\xB6rder von Shauna Taylor"));
    EXPECT_TRUE(is_clean_utf8(e.description));
}

TEST_F(DecoderTest, MythTVTwoShortEventDescriptors) {
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-eit4f-crid-moneybrother.bin");
    now = Stamp("2013-08-17T07:00:00Z");
    owner.all_services = true;
    feed(packetize(with_pointer_field(Corvid::Testing::read_file(path)), EIT));
    auto all = guide();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].service.service_id, 17112);
    ASSERT_EQ(all[0].events.size(), 1u);
    const EPGEvent& e = all[0].events[0];
    EXPECT_EQ(e.id, 12311);
    EXPECT_EQ(e.start.iso(), "2013-08-17T07:15:00Z");
    EXPECT_EQ(e.duration.seconds(), 25 * 60);
    EXPECT_EQ(e.name, "Moneybrother");
    EXPECT_THAT(e.description, StartsWith("Diese Folge des Musikmagazins"));  // the German one
}

TEST_F(DecoderTest, FreesatCompressedTitle) {
    CORVID_REQUIRE_SHARED(section, "testdata/sections/tsduck-test-142.eit-4f-freesat-huffman.bin");
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    Huffman::load_tables(decoder.huffman_tables(), t1.substr(0, t1.size() - 1) + "%i");
    now = Stamp("2020-11-02T17:00:00Z");
    owner.all_services = true;
    feed(packetize(with_pointer_field(Corvid::Testing::read_file(section)), EIT));
    auto all = guide();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].service.service_id, 0xA060);
    EXPECT_EQ(all[0].service.name, "");
    ASSERT_EQ(all[0].events.size(), 1u);
    const EPGEvent& e = all[0].events[0];
    EXPECT_EQ(e.id, 49091);
    EXPECT_EQ(e.start.iso(), "2020-11-02T17:00:00Z");
    EXPECT_EQ(e.duration.seconds(), 3600);
    EXPECT_EQ(e.name, "Lulu Guinness Accessories");
    EXPECT_FALSE(e.description.empty());
    EXPECT_TRUE(is_clean_utf8(e.description));
}

// The store of the 2019 capture counts its hours from the capture's own time.
class CaptureTest : public ::testing::Test {
  protected:
    CaptureTest() : store([this] { return now; }), decoder(store) {}

    void feed_file(const std::string& path, bool all) {
        auto data = Corvid::Testing::read_file(path);
        EPGStreamState state;
        ServiceOwner owner{"file", Duration(0.0), all};
        for (size_t pos = 0; pos < data.size(); pos += 1316)
            process_data(decoder, data.data() + pos, std::min<size_t>(1316, data.size() - pos),
                         state, &owner);
        service_id = state.service_id;
    }

    Stamp now;
    EPGStore store;
    EPGDecoder decoder;
    uint16_t service_id = 0;
};

TEST_F(CaptureTest, FrenchCaptureOwnService) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-184.ts");
    now = Stamp("2019-01-21T00:00:00Z");
    feed_file(path, false);
    std::vector<EPGServiceListing> all;
    store.get_all(all);
    // One service: the lowest program of the PAT, named by the SDT actual.
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].service.service_id, service_id);
    EXPECT_EQ(all[0].service.service_id, 0x0401);
    EXPECT_EQ(all[0].service.name, "M6");
    EXPECT_GT(all[0].events.size(), 20u);
}

TEST_F(CaptureTest, LatinOneWithoutSelectorStaysValidUtf8) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-030.ts");
    now = Stamp("2017-08-01T00:00:00Z");  // the capture's events fall on 2017-08-22
    feed_file(path, true);
    std::vector<EPGServiceListing> all;
    store.get_all(all);
    size_t events = 0;
    for (const auto& listing : all) {
        EXPECT_TRUE(is_clean_utf8(listing.service.name));
        for (const auto& e : listing.events) {
            events++;
            EXPECT_TRUE(is_clean_utf8(e.name)) << e.name;
            EXPECT_TRUE(is_clean_utf8(e.description)) << e.description;
        }
    }
    EXPECT_GT(events, 0u);
}

}  // namespace
}  // namespace Corvid::Capture
