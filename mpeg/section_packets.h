// Re-emitting a finished section (pointer field first, as the section writers produce it) as
// transport stream packets, so that a stored PAT, PMT or CAT can be replayed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gantry/channel/writer.h"
#include "mpeg/ts_packet.h"

namespace Corvid::MPEG {

// Writes the section as consecutive packets on the template's PID and scrambling control, the way
// a standard demultiplexer expects a multi-packet section:
//   - the first packet has payload_unit_start and the template's continuity counter, and keeps the
//     template's adaptation flags and PCR;
//   - continuation packets clear payload_unit_start and the adaptation flags, and count the
//     continuity counter on by one per packet (mod 16);
//   - the last packet is filled up with 0xFF stuffing bytes after the section.
// Writes nothing for an empty section. False if the writer throws Channel::Error (the packets
// before the failing one have been written).
bool write_section_packets(Channel::Writer& writer, const TSPacket& template_packet,
                           const uint8_t* section, size_t length);

// The same into a fresh byte vector (empty on failure).
std::vector<uint8_t> section_packets(const TSPacket& template_packet,
                                     const std::vector<uint8_t>& section);

}  // namespace Corvid::MPEG
