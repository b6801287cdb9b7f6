#include "epg/epg_decoder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string_view>

#include "epg/epg_store.h"
#include "epg/utf8.h"
#include "gantry/log/tests/line_limit.h"
#include "mpeg/tests/sections.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using namespace Corvid::Testing;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

constexpr uint16_t PAT = 0x0000, SDT = 0x0011, EIT = 0x0012;

Bytes pat(const std::vector<uint16_t>& programs, bool current = true) {
    Bytes body;
    for (uint16_t program : programs)
        body = cat({body, be16(program), be16(0xE100)});
    return section(0x00, 1, body, current);
}
// An SDT naming service 1 (0x42: this network; 0x46: another).
Bytes sdt(uint8_t table_id, char name) {
    const Bytes d = descriptor(0x48, {0x01, 0x01, 'P', 0x01, uint8_t(name)});
    return section(table_id, 4, cat({{0x20, 0xFA, 0xFF, 0x00, 0x01, 0xFF}, be16(0x8000 | 7), d}));
}
// An EIT event of 30 minutes on 2024-03-04 (MJD 0xEBD5) at a BCD hour; with a start of 0xFF, none.
Bytes eit(uint16_t sid, uint8_t id, uint8_t hour, const Bytes& descriptors, bool current = true) {
    const Bytes event =
        cat({{0x00, id, 0xEB, 0xD5, hour, 0, 0, 0, 0x30, 0}, be16(0x8000 | descriptors.size())});
    return section(0x4E, sid, cat({{0x00, 0x04, 0x20, 0xFA, 0x00, 0x4E}, event, descriptors}),
                   current, 1);
}
Bytes short_event(char name, char text) {
    return descriptor(0x4D, {'e', 'n', 'g', 1, uint8_t(name), 1, uint8_t(text)});
}

class DecoderTest : public ::testing::Test {
  protected:
    DecoderTest() : store([this] { return now; }), decoder(store) {}

    void feed(const Bytes& bytes, bool with_owner = true) {
        process_data(decoder, bytes.data(), bytes.size(), state, with_owner ? &owner : nullptr);
    }
    void send(const Bytes& section, uint16_t pid, bool with_owner = true) {
        feed(packetize(section, pid), with_owner);
    }
    std::string guide() {
        std::vector<EPGServiceListing> all;
        store.get_all(all);
        std::string out;
        for (const auto& l : all) {
            out += l.service.name + ":";
            for (const auto& e : l.events)
                out += " " + std::to_string(e.id) + "|" + e.start.iso().substr(11, 5) + "|" +
                       e.name + "|" + e.description + ";";
        }
        return out;
    }

    LineLimitOff unlimited;
    Stamp now = Stamp("2024-03-04T10:37:00Z");
    EPGStore store;
    EPGDecoder decoder;
    EPGStreamState state;
    ServiceOwner owner{"cap", Duration(3600.0), false};
};

// A stream not starting on a packet boundary used to be dropped packet by packet for ever; the
// decoder finds the next packet start. Packets split anywhere, or seven in one datagram.
TEST_F(DecoderTest, PacketsResynchroniseAndBadOnesAreLogged) {
    Bytes stream = {0x12}, datagram;
    for (uint16_t sid = 10; sid <= 12; sid++)
        stream = cat({stream, packetize(pat({sid}), PAT)});
    for (uint16_t sid = 1; sid <= 7; sid++)
        datagram = cat({datagram, packetize(pat({sid}), PAT)});
    LogCapture log;
    for (size_t pos = 0; pos < stream.size(); pos += 100)
        feed(Bytes(stream.begin() + long(pos),
                   stream.begin() + long(std::min(stream.size(), pos + 100))));
    EXPECT_EQ(state.service_id, 12);
    feed(Bytes(5000, 0x00));  // no packet start at all: dropped without growing the carry buffer
    EXPECT_LT(state.carry.size(), 188u);
    feed(datagram);
    EXPECT_EQ(state.service_id, 7);
    EXPECT_EQ(log.lines(), std::vector<std::string>(2, "1 EPG Parser could not read TS header"));
}

// What the real sections and the capture reference leave out: the PAT names the stream's own
// service (a new one forgets the names); tables not current, of other networks or of unknown
// services, and streams without an owner, add nothing; a repeated SDT reports nothing new; an
// undefined start drops the event; a descriptor too short is ignored.
TEST_F(DecoderTest, StreamRules) {
    send(pat({0, 5, 3}), PAT);
    state.name = "n";
    send(pat({7}, false), PAT);
    EXPECT_EQ(std::to_string(state.service_id) + state.name, "3n");
    send(pat({1}), PAT);
    send(sdt(0x42, 'N'), SDT, false);
    send(eit(1, 1, 0x12, short_event('T', 't')), EIT, false);
    EXPECT_EQ(guide() + state.name, "");
    LogCapture log;
    send(sdt(0x46, 'X'), SDT);
    send(sdt(0x42, 'N'), SDT);
    send(sdt(0x42, 'N'), SDT);
    EXPECT_EQ(log.count("EPG - added service", 2), 1u);
    send(eit(1, 2, 0xFF, short_event('U', 'u')), EIT, false);
    send(eit(1, 3, 0x12, short_event('T', 't')), EIT, false);
    send(eit(1, 4, 0x13, short_event('C', 'c'), false), EIT);
    send(eit(2, 5, 0x14, {}), EIT);
    send(eit(1, 6, 0x15, descriptor(0x4D, {'e', 'n', 'g', 50, 'a'})), EIT);
    EXPECT_EQ(guide(), "N: 3|12:00|T|t; 6|15:00||;");
}

// Whatever a Huffman table yields leaves the decoder as clean UTF-8.
TEST_F(DecoderTest, HuffmanOutputIsMadeValidUtf8) {
    // START: 00 escape, 01 'a'; after 'a': 0 stop, 1 escape; after 0x05 and 0x1B: 1 escape.
    std::istringstream mappings(
        "START:00:ESCAPE:\nSTART:01:a:\na:0:STOP:\na:1:ESCAPE:\n0x05:1:ESCAPE:\n0x1b:1:ESCAPE:\n");
    ASSERT_TRUE(Huffman::read_table(decoder.huffman_tables()[9], mappings));
    const std::pair<Bytes, const char*> cases[] = {
        {{0x09, 0x78, 0x75, 0x2C, 0x40}, "a\u00E9b"},  // 01 1 C3 A9 'b': UTF-8, kept
        {{0x09, 0x7D, 0x2C, 0x40}, "a\u00D8b"},        // 01 1 E9 'b': not UTF-8, default table
        {{0x09, 0x01, 0x7D, 0x2C, 0x40}, "\u00E9b"},   // 00 05 1 E9 'b': selector 0x05, 8859-9
        {{0x09, 0x06, 0xE8, 0x20}, "A"},               // 00 1B 1 'A': control bytes XML can't carry
        {{0x02, 'a', 0xA4, 'z'}, "a\u20ACz"},          // no table 2: read through the default table
    };
    for (const auto& [code, expected] : cases) {
        const Bytes field = cat({{0x1F}, code});
        EXPECT_EQ(decode_text(decoder, field.data(), field.size()), expected) << expected;
    }
}

// MythTV's and tsduck's sections for a service no SDT names: German text behind the 0x05 selector,
// two short event descriptors (the later, German one wins), a Freesat title in Huffman table 1.
TEST_F(DecoderTest, SharedSectionsDecodeAsPublished) {
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    Huffman::load_tables(decoder.huffman_tables(), t1.substr(0, t1.size() - 1) + "%i");
    owner.all_services = true;
    const struct {
        const char *file, *now, *event;  // service id|event id|start|duration|title|text (start)
    } cases[] = {
        {"mythtv-eit4e-unitymedia-castle.bin", "2014-11-16T21:00:00Z",
         "12102|48104|2014-11-16T21:15:00Z|00:55:00|Castle|Krimiserie. Auf der Suche nach dem "
         "M\u00F6rder von Shauna Taylor"},
        {"mythtv-eit4f-crid-moneybrother.bin", "2013-08-17T07:00:00Z",
         "17112|12311|2013-08-17T07:15:00Z|00:25:00|Moneybrother|Diese Folge des Musikmagazins"},
        {"tsduck-test-142.eit-4f-freesat-huffman.bin", "2020-11-02T17:00:00Z",
         "41056|49091|2020-11-02T17:00:00Z|01:00:00|Lulu Guinness Accessories|"},
    };
    for (const auto& c : cases) {
        CORVID_REQUIRE_SHARED(path, std::string("testdata/sections/") + c.file);
        now = Stamp(c.now);
        store.remove_services("cap");
        send(cat({{0x00}, read_file(path)}), EIT);
        std::vector<EPGServiceListing> all;
        store.get_all(all);
        ASSERT_TRUE(all.size() == 1 && all[0].events.size() == 1) << c.file;
        const EPGEvent& e = all[0].events[0];
        const std::string got = std::to_string(all[0].service.service_id) + "|" +
                                std::to_string(e.id) + "|" + e.start.iso() + "|" +
                                e.duration.hms() + "|" + e.name + "|" + e.description;
        EXPECT_EQ(got.substr(0, std::string(c.event).size()), c.event) << c.file;
        EXPECT_TRUE(!e.description.empty() && is_clean_utf8(e.description)) << c.file;
    }
}

}  // namespace
}  // namespace Corvid::Capture
