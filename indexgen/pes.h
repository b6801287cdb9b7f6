// PES packet headers of queued video packets: reading them, writing new ones, and the edits that
// make a stored intra picture play on its own (timestamps out, a PTS equal to the NPT in, the
// PES length of the cut-down packet).
#pragma once

#include <cstdint>
#include <string>

#include "gantry/channel/block.h"
#include "indexgen/packet_record.h"

namespace Corvid::IndexGen {

// Reads a PES header from the start of a packet payload. On return the reader stands after the
// header, at the first elementary stream byte (the record's es_offset). remaining is the number
// of bytes the header announces after itself, -1 for an unbounded (length 0) video PES packet.
// False if the payload does not begin with a packet start code or ends inside the header.
bool read_pes_header(Gantry::Channel::BlockReader& reader, PESHeader& header, int32_t& remaining);

// Writes a PES header for payload_length bytes of data (negative: unbounded). False if the writer
// runs out of room.
bool write_pes_header(Gantry::Channel::Writer& writer, const PESHeader& header,
                      int64_t payload_length);

// Turns the PTS and DTS of the PES header that starts this record into stuffing, so that a stored
// copy carries no stale timestamps; the header and PES lengths stay as they are and
// freed_header_bytes grows by the bytes freed. False (record unchanged) if the record does not
// start a PES packet, has no timestamps, or its header does not fit in the packet (logged).
bool clear_pts_dts(PacketRecord& record);

// Writes a PTS equal to the record's PCR field (which the generator sets to the NPT) into the PES
// header that starts this record, reusing freed stuffing and growing the payload by the rest.
// False (record unchanged) without a PCR, without a PES header, or if timestamps are still there.
bool insert_pts(PacketRecord& record);

// Sets the PES_packet_length of the PES header starting in first so that it covers total bytes
// of payload (the payloads of the packet's intra records, header included); 0 if that cannot be
// expressed. Marks the record modified if the field changed; returns whether it did.
bool set_pes_length(PacketRecord& first, uint64_t total);

// The same over the records [begin, end) of one PES packet, begin being its first record: total
// is the payload bytes of the records classified intra.
template <class Iterator>
bool set_pes_length(Iterator begin, Iterator end) {
    if (begin == end) return false;
    uint64_t total = 0;
    for (Iterator it = begin; it != end; ++it) {
        const PacketRecord& record = *it;
        if (record.state == PacketRecord::intra) total += record.packet.payload.size();
    }
    return set_pes_length(*begin, total);
}

// Transport packets on video_pid carrying one video PES packet whose payload is header_data (the
// H.264 units to replay before an intra picture), with a PTS of npt truncated to whole seconds. The
// first packet has payload_unit_start and discontinuity set; every packet carries a PCR equal to
// the PTS. Continuity counters run on from counter, which is advanced.
std::string make_video_header_packets(const std::string& header_data, uint16_t video_pid,
                                      double npt, uint32_t& counter);

}  // namespace Corvid::IndexGen
