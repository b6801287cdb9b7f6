#include "mpeg/section_packets.h"

#include <cstring>

#include "gantry/channel/block.h"

namespace Corvid::MPEG {

bool write_section_packets(Channel::Writer& writer, const TSPacket& template_packet,
                           const uint8_t* section, size_t length) {
    TSPacket shape = template_packet;
    shape.payload.clear();
    shape.payload_unit_start = true;
    shape.continuity_counter &= 0x0F;
    uint32_t unused_counter = 0;
    size_t done = 0;
    while (done < length) {
        // Always offer a full payload so that write() adds no adaptation field for stuffing; the
        // payload is padded with 0xFF instead, as PSI packets usually are.
        uint8_t payload[ts_max_payload];
        const size_t chunk = length - done < ts_max_payload ? length - done : ts_max_payload;
        std::memcpy(payload, section + done, chunk);
        std::memset(payload + chunk, 0xFF, ts_max_payload - chunk);
        size_t carried = ts_max_payload;
        if (!TSPacket::write(writer, shape, payload, carried, unused_counter, true)) return false;
        done += carried < chunk ? carried : chunk;
        shape.payload_unit_start = false;
        shape.discontinuity = false;
        shape.random_access = false;
        shape.pcr = -1.0;
        shape.continuity_counter = (shape.continuity_counter + 1) & 0x0F;
    }
    return true;
}

std::vector<uint8_t> section_packets(const TSPacket& template_packet,
                                     const std::vector<uint8_t>& section) {
    const size_t packets = (section.size() + ts_max_payload - 1) / ts_max_payload + 1;
    std::vector<uint8_t> out(packets * ts_packet_size);
    Channel::BlockWriter writer(out.data(), out.size());
    if (!write_section_packets(writer, template_packet, section.data(), section.size())) return {};
    out.resize(writer.offset());
    return out;
}

}  // namespace Corvid::MPEG
