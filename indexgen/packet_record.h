// The record that follows one video packet from the pipeline through the parser to the index
// writer, and the marks a parser leaves in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mpeg/ts_packet.h"

namespace Corvid::IndexGen {

// Where an intra picture begins or ends inside a record's payload. A start mark points at the
// first zero byte of the picture's start code; an end mark at the picture's last byte (inclusive).
struct FrameMark {
    int32_t offset = 0;
    bool is_end = false;
};

// What a PES packet header says about its packet. PTS and DTS are in seconds, -1 when absent.
struct PESHeader {
    enum Kind : uint32_t { video = 0, audio = 1, other = 2 };

    uint32_t stream_number = 0;  // low 4 bits of the stream id (video), low 5 (audio), else all
    uint32_t kind = video;
    uint32_t scrambling = 0;  // PES_scrambling_control
    bool data_alignment = false;
    double pts = -1.0;
    double dts = -1.0;
};

// One transport stream packet of the video PID on its way to the index. The index generator owns
// the records (in a container with stable addresses: a parser keeps pointers to the records it
// holds until it releases them).
struct PacketRecord {
    enum State : uint32_t {
        released = 0,   // the parser no longer needs it
        held = 1,       // the parser may still mark it
        not_intra = 2,  // classified: outside any intra picture
        intra = 3,      // classified: (partly) inside an intra picture
    };

    std::vector<FrameMark> marks;  // in the order added
    MPEG::TSPacket packet;         // its payload is edited in place when the PES header changes
    PESHeader pes;                 // filled when this packet starts a PES packet
    uint32_t es_offset = 0;  // first elementary stream byte; 0 unless a PES packet starts here
    uint32_t freed_header_bytes = 0;  // PES header bytes turned into stuffing by clear_pts_dts
    bool intra_start = false;         // first record of a PES packet that begins an intra picture
    bool has_header_start = false;    // an intra picture (with its sequence header/SPS) begins here
    uint32_t state = released;
    double npt = 0.0;         // normal play time in seconds; 0.0 until known
    bool modified = false;    // payload or PCR differ from the bytes in the segment file
    std::string serialised;   // the bytes as written out
    std::string header_data;  // H.264: delimiter, SPS, PPS and SEI units to replay before it

    PacketRecord() = default;
    explicit PacketRecord(const MPEG::TSPacket& from) : packet(from) {}

    // Makes this a fresh record for another packet, keeping the capacity of every buffer so that
    // a recycled record costs no allocation.
    void reset(const MPEG::TSPacket& from);
    // The same, taking the payload's storage from the packet, which gets this record's old
    // storage in exchange.
    void reset_taking(MPEG::TSPacket& from);

    // Adds a mark. A negative offset counts back from the end of the payload. The stored offset is
    // clamped into the payload (0 for an empty payload), so a consumer can index the payload with
    // any mark of a non-empty record.
    void add_mark(int64_t offset, bool is_end);

    // The last mark is a start mark / an end mark.
    bool starts_intra() const { return !marks.empty() && !marks.back().is_end; }
    bool ends_intra() const { return !marks.empty() && marks.back().is_end; }

  private:
    // Everything but the packet back to the fresh state, keeping the buffers' capacity.
    void clear_state();
};

}  // namespace Corvid::IndexGen
