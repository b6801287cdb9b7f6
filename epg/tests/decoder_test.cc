#include "epg/epg_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string_view>

#include "epg/epg_store.h"
#include "epg/utf8.h"
#include "mpeg/section.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Corvid::Testing::LogCapture;
using Corvid::Testing::read_file;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;
using ::testing::StartsWith;

// Sections are built here from EN 300 468's layouts, independently of the readers under test.
using Bytes = std::vector<uint8_t>;
constexpr uint16_t PAT = 0x0000, SDT = 0x0011, EIT = 0x0012;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}
Bytes be16(unsigned value) {
    return {uint8_t(value >> 8), uint8_t(value)};
}
Bytes descriptor(uint8_t tag, const Bytes& body) {
    return cat({{tag, uint8_t(body.size())}, body});
}
// A string after its length byte.
Bytes field(std::string_view text) {
    return cat({{uint8_t(text.size())}, Bytes(text.begin(), text.end())});
}
// Short event descriptor; name and text already in DVB text coding.
Bytes short_event(std::string_view name, std::string_view text = "") {
    return descriptor(0x4D, cat({{'e', 'n', 'g'}, field(name), field(text)}));
}
// Service descriptor of a digital television service.
Bytes service_descriptor(std::string_view provider, std::string_view name) {
    return descriptor(0x48, cat({{0x01}, field(provider), field(name)}));
}
// A descriptor loop after its length, running status 4 (EIT) or reserved bits (SDT) above it.
Bytes loop(const Bytes& descriptors) {
    return cat({be16(0x8000 | descriptors.size()), descriptors});
}
// A whole section, pointer field first; EIT bodies may be as long as private sections allow.
Bytes section(uint8_t table_id, uint16_t extension, const Bytes& body, bool current = true,
              uint8_t version = 0) {
    MPEG::SectionHeader header{.table_id = table_id,
                               .version = version,
                               .current_next = current,
                               .table_id_extension = extension};
    Bytes out;
    MPEG::finish_section(header, body.data(), body.size(), out, 4093 + 3 - MPEG::section_overhead);
    return out;
}
Bytes pat(const std::vector<std::pair<uint16_t, uint16_t>>& programs, bool current = true) {
    Bytes body;
    for (const auto& [program, pid] : programs)
        body = cat({body, be16(program), be16(0xE000 | pid)});
    return section(0x00, 1, body, current);
}
Bytes sdt(uint8_t table_id, const std::vector<std::pair<uint16_t, Bytes>>& services) {
    Bytes body{0x20, 0xFA, 0xFF};  // onid, reserved
    for (const auto& [id, descriptors] : services)
        body = cat({body, be16(id), {0xFF}, loop(descriptors)});
    return section(table_id, 4, body);
}
struct EventBytes {
    uint16_t event_id;
    Bytes start, duration;  // MJD and BCD h m s; BCD h m s
    Bytes descriptors;
};
const Bytes EIT_HEAD = {0x00, 0x04, 0x20, 0xFA, 0x00, 0x4E};  // tsid, onid, last section, table
Bytes eit(uint8_t table_id, uint16_t sid, const std::vector<EventBytes>& events,
          bool current = true, uint8_t version = 1) {
    Bytes body = EIT_HEAD;
    body.back() = table_id;
    for (const auto& e : events)
        body = cat({body, be16(e.event_id), e.start, e.duration, loop(e.descriptors)});
    return section(table_id, sid, body, current, version);
}
// 188-byte packets on a PID, the first with payload_unit_start, the last padded with 0xFF.
Bytes packetize(const Bytes& section, uint16_t pid) {
    Bytes out;
    for (size_t pos = 0; pos < section.size(); pos += 184) {
        size_t n = std::min<size_t>(184, section.size() - pos);
        auto from = section.begin() + static_cast<long>(pos);
        out = cat({out,
                   {0x47},
                   be16((pos == 0 ? 0x4000 : 0) | pid),
                   {uint8_t(0x10 | pos / 184 % 16)},
                   Bytes(from, from + static_cast<long>(n)),
                   Bytes(184 - n, 0xFF)});
    }
    return out;
}
// Shared sample sections come without their pointer field.
Bytes shared_section(const std::string& path) {
    return cat({{0x00}, read_file(path)});
}

// 2024-03-04 is MJD 60373 (0xEBD5).
Bytes start_at(uint8_t hour_bcd, uint8_t minute_bcd = 0x00) {
    return {0xEB, 0xD5, hour_bcd, minute_bcd, 0x00};
}
const Bytes half_hour = {0x00, 0x30, 0x00};

class DecoderTest : public ::testing::Test {
  protected:
    DecoderTest() : store([this] { return now; }), decoder(store) {}

    void feed(const Bytes& bytes, bool with_owner = true) {
        process_data(decoder, bytes.data(), bytes.size(), state, with_owner ? &owner : nullptr);
    }
    void send(const Bytes& section, uint16_t pid, bool with_owner = true) {
        feed(packetize(section, pid), with_owner);
    }
    // The PAT naming service sid and the SDT naming it.
    void announce(uint16_t sid) {
        send(pat({{sid, 0x100}}), PAT);
        send(sdt(0x42, {{sid, service_descriptor("Prov", "Name")}}), SDT);
    }
    // The store's services as "owner|id|provider|name", one after another.
    std::string services() {
        std::string out;
        for (const auto& l : guide())
            out += l.service.id + "|" + std::to_string(l.service.service_id) + "|" +
                   l.service.provider + "|" + l.service.name + ";";
        return out;
    }
    // The events of the one service as "id|start|duration|name|description", one after another.
    std::string events() {
        auto all = guide();
        EXPECT_EQ(all.size(), 1u);
        std::string out;
        for (const auto& e : all.empty() ? std::vector<EPGEvent>{} : all[0].events)
            out += std::to_string(e.id) + "|" + e.start.iso().substr(11, 5) + "|" +
                   e.duration.hms() + "|" + e.name + "|" + e.description + ";";
        return out;
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
    ServiceOwner owner{"cap", Duration(3600.0), false};
};

// A stream that does not start on a packet boundary (or loses bytes on the way) used to be dropped
// packet by packet for ever; the decoder now finds the next packet start and carries on.
TEST_F(DecoderTest, MisalignedStreamResynchronises) {
    Bytes stream = {0x12};  // one stray byte before the first packet
    for (uint16_t sid = 10; sid <= 12; sid++)
        stream = cat({stream, packetize(pat({{sid, 0x100}}), PAT)});
    LogCapture log;
    for (size_t pos = 0; pos < stream.size(); pos += 100)  // packets split anywhere
        feed(Bytes(stream.begin() + static_cast<long>(pos),
                   stream.begin() + static_cast<long>(std::min(stream.size(), pos + 100))));
    EXPECT_EQ(state.service_id, 12);
    EXPECT_EQ(log.count("EPG Parser could not read TS header", 1), 1u);
    // Garbage with no packet start at all is dropped without growing the carry buffer.
    feed(Bytes(5000, 0x00));
    EXPECT_LT(state.carry.size(), 188u);
    // Seven packets in one 1316-byte datagram: the last one counts.
    Bytes datagram;
    for (uint16_t sid = 1; sid <= 7; sid++)
        datagram = cat({datagram, packetize(pat({{sid, 0x100}}), PAT)});
    feed(datagram);
    EXPECT_EQ(state.service_id, 7);
}

TEST_F(DecoderTest, BadPacketsAreLoggedAndDropped) {
    LogCapture log;
    Bytes bad_adaptation = packetize(pat({{5, 0x100}}), PAT);
    bad_adaptation[3] = 0x30;  // adaptation field follows...
    bad_adaptation[4] = 184;   // ...longer than the packet
    feed(bad_adaptation);
    EXPECT_TRUE(log.contains("EPG Parser: Bad TS payload size", 1));
    Bytes truncated = packetize(pat({{6, 0x100}}), PAT);
    Gantry::Channel::BlockReader reader(truncated.data(), 100);
    process_packet(decoder, reader, state, &owner);
    EXPECT_TRUE(log.contains("EPG Parser: TS packet truncated", 1));
    send(pat({{7, 0x100}}), 0x0100);  // not the PAT's PID
    EXPECT_EQ(state.service_id, 0);
}

TEST_F(DecoderTest, PatChoosesTheLowestProgram) {
    send(pat({{0, 0x10}, {5, 0x100}, {3, 0x101}}), PAT);
    EXPECT_EQ(state.service_id, 3);
    state.provider = "p";
    state.name = "n";
    send(pat({{7, 0x100}}, false), PAT);  // not current: ignored
    EXPECT_EQ(state.service_id, 3);
    send(pat({{7, 0x100}}), PAT);
    EXPECT_EQ(state.service_id, 7);
    EXPECT_EQ(state.provider, "");
    EXPECT_EQ(state.name, "");
    CORVID_REQUIRE_SHARED(path, "testdata/sections/mythtv-pat.bin");
    send(shared_section(path), PAT);
    EXPECT_EQ(state.service_id, 11110);
}

TEST_F(DecoderTest, SdtNamesTheStreamsOwnService) {
    LogCapture log;
    send(pat({{0x401, 0x100}}), PAT);
    send(sdt(0x46, {{0x401, service_descriptor("X", "Y")}}), SDT);  // other network: not used
    EXPECT_TRUE(guide().empty());
    Bytes actual = sdt(0x42, {{0x400, service_descriptor("A", "Other")},
                              {0x401, service_descriptor("\x05M6 Group", "\x05M\xE9t\xE9o")}});
    send(actual, SDT);
    send(actual, SDT);  // a repeat reports nothing new
    EXPECT_EQ(services(), "cap|1025|M6 Group|M\u00E9t\u00E9o;");
    EXPECT_EQ(log.count("EPG - added service", 2), 1u);
    // A changed name is reported again; the store keeps the first record.
    send(sdt(0x42, {{0x401, service_descriptor("M6 Group", "New")}}), SDT);
    EXPECT_EQ(state.name, "New");
    EXPECT_EQ(services(), "cap|1025|M6 Group|M\u00E9t\u00E9o;");
}

TEST_F(DecoderTest, WithoutOwnerNoServiceIsCreated) {
    send(pat({{1, 0x100}}), PAT, false);
    send(sdt(0x42, {{1, service_descriptor("P", "N")}}), SDT, false);
    send(eit(0x4E, 1, {{1, start_at(0x12), half_hour, short_event("T")}}), EIT, false);
    EXPECT_TRUE(guide().empty());
    EXPECT_EQ(state.name, "");  // only an owner's stream reports names
    // Once a channel capture has added the service, an EPG stream supplies its events.
    store.add_service("cap", Duration(3600.0), 1, "P", "N");
    send(eit(0x50, 1, {{2, start_at(0x13), half_hour, short_event("T2")}}), EIT, false);
    EXPECT_EQ(events(), "2|13:00|00:30:00|T2|;");
}

TEST_F(DecoderTest, EitEvents) {
    announce(1);
    Bytes undefined_start = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    send(eit(0x4E, 1,
             {{1, undefined_start, half_hour, short_event("never")},
              {2, start_at(0x12), half_hour, {}},
              {3,
               start_at(0x12, 0x30),
               {0x01, 0x45, 0x30},
               cat({short_event("first", "one"), short_event("\x05Second", "\x05two\x8Alines")})}}),
         EIT);
    // The undefined start goes; the later short event descriptor wins.
    const std::string expected = "2|12:00|00:30:00||;3|12:30|01:45:30|Second|two\nlines;";
    EXPECT_EQ(events(), expected);
    // A section that is not current is ignored; one for an unknown service adds nothing.
    send(eit(0x4E, 1, {{4, start_at(0x15), half_hour, {}}}, false, 2), EIT);
    send(eit(0x4E, 2, {{5, start_at(0x15), half_hour, {}}}), EIT);
    EXPECT_EQ(events(), expected);
}

TEST_F(DecoderTest, BrokenSectionsAddNothing) {
    announce(1);
    // A damaged byte: the CRC fails and the section goes.
    Bytes damaged = eit(0x4E, 1, {{1, start_at(0x12), half_hour, {}}});
    damaged[1 + 8 + 6 + 3] ^= 0x01;
    send(damaged, EIT);
    // A correct CRC around an event whose descriptor loop runs past the body: the whole section
    // goes, the good event before it too.
    Bytes good = {0x00, 0x02, 0xEB, 0xD5, 0x13, 0x00, 0x00, 0x00, 0x30, 0x00, 0x80, 0x00};
    Bytes liar = {0x00, 0x03, 0xEB, 0xD5, 0x14, 0x00, 0x00, 0x00, 0x30, 0x00, 0x8F, 0xFF, 0x4D};
    send(section(0x4E, 1, cat({EIT_HEAD, good, liar})), EIT);
    // Five bytes after the last event that do not make an event: the section goes as well.
    send(section(0x4E, 1, cat({EIT_HEAD, good, Bytes(5, 0)})), EIT);
    EXPECT_EQ(events(), "");
    // Up to four are tolerated.
    send(section(0x4E, 1, cat({EIT_HEAD, good, Bytes(4, 0)})), EIT);
    EXPECT_EQ(events(), "2|13:00|00:30:00||;");
    // A descriptor body too short for the lengths it gives yields empty strings.
    Bytes short_body = {'e', 'n', 'g', 50, 'a'};
    send(eit(0x4E, 1, {{3, start_at(0x15), half_hour, descriptor(0x4D, short_body)}}), EIT);
    EXPECT_EQ(events(), "2|13:00|00:30:00||;3|15:00|00:30:00||;");
}

// Whatever a Huffman table yields leaves the decoder as clean UTF-8: text in UTF-8 as it is,
// text with its own table selector or in the default table converted.
TEST_F(DecoderTest, HuffmanOutputIsMadeValidUtf8) {
    // START: 00 escape, 01 'a'; after 'a': 0 stop, 1 escape; after the bytes 0x05 and 0x1B:
    // 1 escape.
    std::istringstream mappings(
        "START:00:ESCAPE:\nSTART:01:a:\na:0:STOP:\na:1:ESCAPE:\n0x05:1:ESCAPE:\n0x1b:1:ESCAPE:\n");
    ASSERT_TRUE(Huffman::read_table(decoder.huffman_tables()[9], mappings));
    const std::pair<std::string, const char*> cases[] = {
        {"01 1 11000011 10101001 01100010", "a\u00E9b"},  // escaped C3 A9 'b': UTF-8, kept
        {"01 1 11101001 01100010", "a\u00D8b"},           // E9 is not UTF-8: default table
        {"00 00000101 1 11101001 01100010", "\u00E9b"},   // selector 0x05: 8859-9
        {"00 00011011 1 01000001", "A"},                  // control bytes XML cannot carry...
        {"01 1 00000111", "a"},                           // ...dropped at the start and inside
    };
    for (auto [bits, expected] : cases) {
        Bytes field = {0x1F, 0x09};
        std::erase(bits, ' ');
        bits.resize((bits.size() + 7) / 8 * 8, '0');
        for (size_t i = 0; i < bits.size(); i += 8)
            field.push_back(static_cast<uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2)));
        EXPECT_EQ(decode_text(decoder, field.data(), field.size()), expected) << bits;
    }
    // Without its table, compressed text is read through the default table.
    Bytes no_table = {0x1F, 0x02, 'a', 0xA4, 'z'};
    EXPECT_EQ(decode_text(decoder, no_table.data(), no_table.size()), "a\u20ACz");
}

// One section each, for a service no SDT names: German text behind the 0x05 selector, two short
// event descriptors (the later, German one wins), and a Freesat title compressed with table 1.
TEST(SharedSections, EventsDecodeAsPublished) {
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    const struct {
        const char *file, *now;
        const char* event;        // service id|event id|start|duration|title
        const char* description;  // its start
    } cases[] = {
        {"mythtv-eit4e-unitymedia-castle.bin", "2014-11-16T21:00:00Z",
         "12102|48104|2014-11-16T21:15:00Z|00:55:00|Castle",
         "Krimiserie. Auf der Suche nach dem M\u00F6rder von Shauna Taylor"},
        {"mythtv-eit4f-crid-moneybrother.bin", "2013-08-17T07:00:00Z",
         "17112|12311|2013-08-17T07:15:00Z|00:25:00|Moneybrother", "Diese Folge des Musikmagazins"},
        {"tsduck-test-142.eit-4f-freesat-huffman.bin", "2020-11-02T17:00:00Z",
         "41056|49091|2020-11-02T17:00:00Z|01:00:00|Lulu Guinness Accessories", ""},
    };
    for (const auto& c : cases) {
        CORVID_REQUIRE_SHARED(path, std::string("testdata/sections/") + c.file);
        const Stamp now(c.now);
        EPGStore store([&] { return now; });
        EPGDecoder decoder(store);
        Huffman::load_tables(decoder.huffman_tables(), t1.substr(0, t1.size() - 1) + "%i");
        EPGStreamState state;
        ServiceOwner owner{"cap", Duration(3600.0), true};
        Bytes ts = packetize(shared_section(path), EIT);
        process_data(decoder, ts.data(), ts.size(), state, &owner);
        std::vector<EPGServiceListing> all;
        store.get_all(all);
        ASSERT_EQ(all.size(), 1u) << c.file;
        EXPECT_EQ(all[0].service.name, "") << c.file;
        ASSERT_EQ(all[0].events.size(), 1u) << c.file;
        const EPGEvent& e = all[0].events[0];
        EXPECT_EQ(std::to_string(all[0].service.service_id) + "|" + std::to_string(e.id) + "|" +
                      e.start.iso() + "|" + e.duration.hms() + "|" + e.name,
                  c.event);
        EXPECT_THAT(e.description, StartsWith(c.description)) << c.file;
        EXPECT_FALSE(e.description.empty()) << c.file;
        EXPECT_TRUE(is_clean_utf8(e.description)) << c.file;
    }
}

}  // namespace
}  // namespace Corvid::Capture
