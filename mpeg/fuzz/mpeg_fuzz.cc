// Arbitrary bytes against the packet reader, the PAT/PMT/CAT readers and the EIT/SDT readers.
//
// The input is read twice: as a transport stream (TSPacket::read from every position it reaches)
// and as 188-byte chunks fed to the table readers, a chunk that parses as a packet giving its
// payload and start flag, any other chunk giving its first byte's low bit as the start flag and
// the rest as payload. Besides the sanitizers it checks what must hold for any input: readers stay
// in their bounds and settle, packets and decoded tables survive a write and a re-read unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gantry/channel/block.h"
#include "mpeg/mpeg.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

class AnyTableReader : public MPEG::TableReader {
  public:
    size_t max_section_length() const override { return 4093; }
    bool accepts_table_id(uint8_t id) const override { return id != 0xFF; }
};

// A PCR extension of 300 or more is out of range but readable; with the largest base it gives a
// value past the PCR's wrap, which the writer can only store modulo the wrap.
double canonical_pcr(double pcr) {
    if (pcr < 0) return pcr;
    const double wrap = 8589934592.0 * 300;
    return std::fmod(std::nearbyint(pcr * MPEG::pcr_clock_hz), wrap) / MPEG::pcr_clock_hz;
}

void packet_round_trip(const MPEG::TSPacket& packet) {
    uint8_t bytes[MPEG::ts_packet_size];
    Channel::BlockWriter writer(bytes, sizeof bytes);
    size_t length = packet.payload.size();
    uint32_t counter = 0;
    check(MPEG::TSPacket::write(writer, packet, packet.payload.data(), length, counter, true));
    check(length == packet.payload.size() && writer.offset() == MPEG::ts_packet_size);
    Channel::BlockReader reader(bytes, sizeof bytes);
    MPEG::TSPacket back;
    check(MPEG::TSPacket::read(reader, back));
    check(back.pid == packet.pid && back.payload_unit_start == packet.payload_unit_start &&
          back.discontinuity == packet.discontinuity &&
          back.random_access == packet.random_access && back.scrambling == packet.scrambling &&
          back.pcr == canonical_pcr(packet.pcr) &&
          back.continuity_counter == packet.continuity_counter && back.payload == packet.payload);
}

void read_stream(const uint8_t* data, size_t size) {
    Channel::BlockReader reader(data, size);
    MPEG::TSPacket packet;
    while (reader.remaining() > 0) {
        const uint64_t start = reader.offset();
        if (MPEG::TSPacket::read(reader, packet)) {
            check(reader.offset() - start == MPEG::ts_packet_size);
            packet_round_trip(packet);
        } else {
            check(reader.offset() - start <= MPEG::ts_packet_size);
            reader.rewind(reader.offset() - start);
            reader.skip(1);
        }
    }
}

// Re-encodes a decoded table, cuts it into packets and reads it back with a fresh reader.
template <typename Reader, typename Table, typename Write>
void table_round_trip(const Table& table, Write write) {
    std::vector<uint8_t> section;
    check(write(table, section));
    MPEG::TSPacket shape;
    shape.pid = 0x100;
    auto packets = MPEG::section_packets(shape, section);
    check(!packets.empty() && packets.size() % MPEG::ts_packet_size == 0);
    Reader reader;
    Channel::BlockReader in(packets.data(), packets.size());
    MPEG::TSPacket packet;
    while (in.remaining() > 0) {
        check(MPEG::TSPacket::read(in, packet));
        reader.add(packet);
    }
    Table back;
    check(reader.read(back) == MPEG::TableReader::complete);
    check(back == table);
}

template <typename Reader, typename Table, typename Write>
void drain(Reader& reader, Write write) {
    for (int guard = 0;; ++guard) {
        check(guard < 10000);
        Table table;
        const auto result = reader.read(table);
        check(reader.buffered() <= reader.max_section_length() + 3 + MPEG::ts_max_payload);
        if (result == MPEG::TableReader::need_more) return;
        if (result == MPEG::TableReader::complete) table_round_trip<Reader>(table, write);
    }
}

// The SI tables have no writer: what holds for them is that every descriptor decoded lies within
// the section, and every start time decoded within the range the MJD field can express.
bool within(const MPEG::DescriptorList& descriptors, size_t section_length) {
    size_t total = 0;
    for (const auto& d : descriptors)
        total += 2 + d.data.size();
    return total <= section_length;
}

void drain_si(MPEG::EITReader& eit, MPEG::SDTReader& sdt) {
    static const auto earliest = Gantry::Time::Stamp("1948-08-05T00:00:00Z");
    static const auto latest = Gantry::Time::Stamp("2128-01-10T00:00:00Z");
    for (int guard = 0;; ++guard) {
        check(guard < 10000);
        MPEG::EIT table;
        const auto result = eit.read(table);
        check(eit.buffered() <= eit.max_section_length() + 3 + MPEG::ts_max_payload);
        if (result == MPEG::TableReader::need_more) break;
        for (const auto& event : table.events) {
            check(within(event.descriptors, MPEG::max_eit_section_length));
            check(!event.start.valid() || (earliest <= event.start && event.start < latest));
            check(event.duration.seconds() >= 0 && event.duration.seconds() < 100 * 3600);
        }
    }
    for (int guard = 0;; ++guard) {
        check(guard < 10000);
        MPEG::SDT table;
        const auto result = sdt.read(table);
        if (result == MPEG::TableReader::need_more) return;
        for (const auto& service : table.services)
            check(within(service.descriptors, MPEG::max_psi_section_length));
    }
}

void drain_sections(AnyTableReader& reader) {
    for (int guard = 0;; ++guard) {
        check(guard < 10000);
        MPEG::SectionHeader header;
        size_t total = 0, length = 0;
        const uint8_t* body = nullptr;
        const auto result = reader.read_section(header, total, body, length);
        if (result == MPEG::TableReader::need_more) return;
        if (result != MPEG::TableReader::complete) continue;
        check(total <= reader.buffered() && length + 12 == total);
        const uint8_t* section = body + length + 4 - total;
        check(MPEG::crc32_mpeg2(section, total) == 0);
        reader.consume(total);
    }
}

void feed_tables(const uint8_t* data, size_t size) {
    MPEG::PATReader pat;
    MPEG::PMTReader pmt;
    MPEG::CATReader cat;
    MPEG::EITReader eit;
    MPEG::SDTReader sdt;
    AnyTableReader any;
    MPEG::TSPacket packet;
    for (size_t at = 0; at < size; at += MPEG::ts_packet_size) {
        const size_t chunk = size - at < MPEG::ts_packet_size ? size - at : MPEG::ts_packet_size;
        Channel::BlockReader reader(data + at, chunk);
        const uint8_t* payload;
        size_t length;
        if (MPEG::TSPacket::read(reader, packet)) {
            payload = packet.payload.data();
            length = packet.payload.size();
        } else {
            packet.clear();
            packet.payload_unit_start = data[at] & 1;
            payload = data + at + 1;
            length = chunk - 1;
        }
        pat.add(packet, payload, length);
        pmt.add(packet, payload, length);
        cat.add(packet, payload, length);
        eit.add(packet, payload, length);
        sdt.add(packet, payload, length);
        any.add(packet, payload, length);
        drain<MPEG::PATReader, MPEG::PAT>(pat, MPEG::write_pat);
        drain<MPEG::PMTReader, MPEG::PMT>(pmt, MPEG::write_pmt);
        drain<MPEG::CATReader, MPEG::CAT>(cat, MPEG::write_cat);
        drain_si(eit, sdt);
        drain_sections(any);
        check(any.buffered() <= 4093 + 3 + MPEG::ts_max_payload);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    read_stream(data, size);
    feed_tables(data, size);
    return 0;
}
