#include "epg/epg_decoder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "epg/dvb_text.h"
#include "epg/epg_store.h"
#include "epg/utf8.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Channel = Gantry::Channel;

namespace {

constexpr size_t PACKET = MPEG::ts_packet_size;
constexpr uint8_t SYNC = MPEG::ts_sync_byte;
constexpr uint16_t PID_PAT = 0x0000;
constexpr uint16_t PID_SDT = 0x0011;
constexpr uint16_t PID_EIT = 0x0012;
constexpr uint8_t TABLE_SDT_ACTUAL = 0x42;
constexpr uint8_t TAG_SERVICE = 0x48;
constexpr uint8_t TAG_SHORT_EVENT = 0x4D;
constexpr uint8_t HUFFMAN_MARKER = 0x1F;
// A section reader makes progress on every result but "need more data"; this bounds the loop
// should one ever fail to, at far more sections than one packet can complete.
constexpr int MAX_SECTIONS_PER_PACKET = 4096;

// Reads sections from a table reader after a payload was added, handing each complete one to
// on_table, until the reader needs more data.
template <typename Reader, typename Table, typename Handler>
void read_tables(Reader& reader, Handler&& on_table) {
    for (int i = 0; i < MAX_SECTIONS_PER_PACKET; i++) {
        Table table;
        const auto result = reader.read(table);
        if (result == MPEG::TableReader::need_more) return;
        if (result == MPEG::TableReader::complete) on_table(table);
    }
}

// The service descriptor: type, provider name, service name.
void read_service_descriptor(const EPGDecoder& decoder, const std::vector<uint8_t>& body,
                             std::string& provider, std::string& name) {
    const uint8_t* d = body.data();
    size_t n = body.size();
    if (n <= 2) return;
    size_t p = d[1];
    if (p + 2 <= n) provider = decode_text(decoder, d + 2, p);
    if (p + 3 <= n) {
        size_t q = d[2 + p];
        if (p + q + 3 <= n) name = decode_text(decoder, d + p + 3, q);
    }
}

// The short event descriptor: ISO 639 language, event name, text.
void read_short_event(const EPGDecoder& decoder, const std::vector<uint8_t>& body,
                      std::string& title, std::string& description) {
    const uint8_t* d = body.data();
    size_t n = body.size();
    if (n <= 4) return;
    size_t p = d[3];
    if (p + 4 <= n) title = decode_text(decoder, d + 4, p);
    if (p + 5 <= n) {
        size_t q = d[4 + p];
        if (p + q + 5 <= n) description = decode_text(decoder, d + p + 5, q);
    }
}

void handle_pat(const MPEG::PAT& pat, EPGStreamState& state) {
    if (!pat.header.current_next) return;
    // A stream carries one service: the lowest program number but 0 (the network information).
    auto it = pat.programs.upper_bound(0);
    if (it == pat.programs.end()) return;
    if (it->first != state.service_id) {
        state.service_id = it->first;
        state.provider.clear();
        state.name.clear();
    }
}

void handle_sdt(EPGDecoder& decoder, const MPEG::SDT& sdt, EPGStreamState& state,
                const ServiceOwner* owner) {
    if (!sdt.header.current_next) return;
    if (owner && owner->all_services) {
        for (const MPEG::SDTService& service : sdt.services) {
            std::string provider, name;
            for (const MPEG::Descriptor& d : service.descriptors)
                if (d.tag == TAG_SERVICE) read_service_descriptor(decoder, d.data, provider, name);
            decoder.store().add_service(owner->id, owner->history_length, service.service_id,
                                        provider, name);
        }
        return;
    }
    // Other-network sections are read but not used: a channel has only its own service.
    if (sdt.header.table_id != TABLE_SDT_ACTUAL || state.service_id == 0) return;
    for (const MPEG::SDTService& service : sdt.services) {
        if (service.service_id != state.service_id) continue;
        std::string provider, name;
        for (const MPEG::Descriptor& d : service.descriptors)
            if (d.tag == TAG_SERVICE) read_service_descriptor(decoder, d.data, provider, name);
        if (!owner) continue;
        if (provider == state.provider && name == state.name) continue;
        state.provider = provider;
        state.name = name;
        decoder.store().add_service(owner->id, owner->history_length, state.service_id, provider,
                                    name);
    }
}

void handle_eit(EPGDecoder& decoder, const MPEG::EIT& eit, const ServiceOwner* owner) {
    if (!eit.header.current_next) return;
    uint16_t service_id = eit.header.table_id_extension;
    EPGStore& store = decoder.store();
    // In whole-multiplex mode an EIT names a service of its own; the store keeps a service
    // that an SDT has already named, and fills in the names of one first seen here.
    if (owner && owner->all_services && !eit.events.empty())
        store.add_service(owner->id, owner->history_length, service_id, "", "");
    for (const MPEG::EITEvent& event : eit.events) {
        if (!event.start.valid()) continue;
        std::string title, description;
        for (const MPEG::Descriptor& d : event.descriptors)
            if (d.tag == TAG_SHORT_EVENT) read_short_event(decoder, d.data, title, description);
        store.add_event(service_id, event.event_id, event.start, event.duration, title,
                        description);
    }
}

// The position of the next packet start at or after from: a sync byte with another one a packet
// further on (or the end of the data there, which cannot tell). size if none.
size_t find_sync(const uint8_t* data, size_t from, size_t size) {
    for (size_t q = from; q < size; q++) {
        if (data[q] != SYNC) continue;
        if (q + PACKET >= size || data[q + PACKET] == SYNC) return q;
    }
    return size;
}

}  // namespace

std::string decode_text(const EPGDecoder& decoder, const uint8_t* bytes, size_t length) {
    if (length >= 2 && bytes[0] == HUFFMAN_MARKER) {
        const auto& tables = decoder.huffman_tables();
        auto table = tables.find(bytes[1]);
        if (table != tables.end()) {
            std::string raw = Huffman::decode(table->second, bytes + 2, length - 2);
            // The tables yield the characters of an ordinary DVB string: either text in UTF-8
            // (which ASCII is too), or a string with its own table selector, or text in the
            // default table. Whatever it is, it leaves here as clean UTF-8.
            bool selector = !raw.empty() && static_cast<uint8_t>(raw[0]) < 0x20;
            if (!selector && is_well_formed_utf8(raw)) return clean_utf8(raw);
            return decode_dvb_text(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
        }
    }
    return decode_dvb_text(bytes, length);
}

// The packet-level error lines are limited per feeder thread: a corrupt feed fails every packet.
void process_packet(EPGDecoder& decoder, Channel::BlockReader& reader, EPGStreamState& state,
                    const ServiceOwner* owner) {
    MPEG::TSPacket packet;
    size_t payload_length = 0;
    if (!MPEG::TSPacket::read_header(reader, packet, payload_length)) {
        Log::limited_error("EPG Parser could not read TS header");
        return;
    }
    if (payload_length > MPEG::ts_max_payload) {
        Log::limited_error("EPG Parser: Bad TS payload size");
        return;
    }
    if (packet.pid != PID_PAT && packet.pid != PID_SDT && packet.pid != PID_EIT) return;
    if (reader.remaining() < payload_length) {
        Log::limited_error("EPG Parser: TS packet truncated");
        return;
    }
    const uint8_t* payload = reader.current();
    reader.skip(payload_length);
    switch (packet.pid) {
        case PID_PAT:
            state.pat_reader.add(packet, payload, payload_length);
            read_tables<MPEG::PATReader, MPEG::PAT>(
                state.pat_reader, [&](const MPEG::PAT& pat) { handle_pat(pat, state); });
            break;
        case PID_SDT:
            state.sdt_reader.add(packet, payload, payload_length);
            read_tables<MPEG::SDTReader, MPEG::SDT>(state.sdt_reader, [&](const MPEG::SDT& sdt) {
                handle_sdt(decoder, sdt, state, owner);
            });
            break;
        case PID_EIT:
            state.eit_reader.add(packet, payload, payload_length);
            read_tables<MPEG::EITReader, MPEG::EIT>(
                state.eit_reader, [&](const MPEG::EIT& eit) { handle_eit(decoder, eit, owner); });
            break;
    }
}

void process_data(EPGDecoder& decoder, const uint8_t* bytes, size_t length, EPGStreamState& state,
                  const ServiceOwner* owner) {
    // Whole packets are decoded straight from the caller's bytes; only a packet split between
    // calls is assembled in the carry buffer.
    auto& carry = state.carry;
    const uint8_t* data = bytes;
    size_t size = length;
    const bool carried = !carry.empty();
    if (carried) {
        carry.insert(carry.end(), bytes, bytes + length);
        data = carry.data();
        size = carry.size();
    }
    size_t pos = 0;
    while (size - pos >= PACKET) {
        if (data[pos] != SYNC) {
            // Out of step with the packets: say so once, then look for the next packet start.
            if (state.in_sync) Log::limited_error("EPG Parser could not read TS header");
            state.in_sync = false;
            size_t next = find_sync(data, pos + 1, size);
            if (next == size) {
                pos = size - std::min<size_t>(size - pos, PACKET - 1);
                break;
            }
            pos = next;
            continue;
        }
        state.in_sync = true;
        Channel::BlockReader reader(data + pos, PACKET);
        process_packet(decoder, reader, state, owner);
        pos += PACKET;
    }
    if (carried) {
        carry.erase(carry.begin(), carry.begin() + static_cast<ptrdiff_t>(pos));
    } else {
        carry.assign(bytes + pos, bytes + size);
    }
}

}  // namespace Corvid::Capture
