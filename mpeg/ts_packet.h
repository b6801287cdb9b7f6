// The 188-byte MPEG-2 transport stream packet: parsing into a record and writing it back.
//
// Layout (ISO/IEC 13818-1, big-endian):
//   byte 0     sync 0x47
//   bytes 1-2  transport_error(1) payload_unit_start(1) priority(1) pid(13)
//   byte 3     scrambling(2) adaptation_field_present(1) payload_present(1) continuity(4)
//   [adaptation field: length(8), flags(8) = discontinuity 0x80, random_access 0x40, PCR 0x10,
//    PCR 6 bytes = base(33) reserved(6) extension(9), stuffing 0xFF]
//   payload to byte 187
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/channel/reader.h"
#include "gantry/channel/writer.h"

namespace Corvid::MPEG {

namespace Channel = Gantry::Channel;

constexpr size_t ts_packet_size = 188;
constexpr size_t ts_max_payload = 184;
constexpr uint8_t ts_sync_byte = 0x47;
constexpr double pcr_clock_hz = 27000000.0;

// A parsed packet; a plain record, copied freely. Reusing one record for packet after packet keeps
// the payload's capacity, so reading does not allocate once it has held a full payload.
struct TSPacket {
    uint16_t pid = 0;
    bool payload_unit_start = false;
    bool discontinuity = false;  // adaptation field flags; false without one
    bool random_access = false;
    uint32_t scrambling = 0;  // 0..3
    double pcr = -1.0;        // seconds; -1.0 when the packet carries none
    uint32_t continuity_counter = 0;
    std::vector<uint8_t> payload;
    uint64_t offset = 0;  // stream position of the sync byte; set by whoever feeds the packets

    // Back to the fresh state, keeping the payload's capacity.
    void clear();
    // Copies every field but the payload.
    void copy_header(const TSPacket& from);

    // Parses the header and adaptation field and leaves the reader at the payload.
    // payload_length receives 184 minus the adaptation field; it exceeds 184 only for an
    // adaptation field length above 183, which read() rejects. False if the first byte is not
    // 0x47 or the data ends (the Channel::Error is caught). Fields not in the header keep their
    // values (payload, offset).
    static bool read_header(Channel::Reader& reader, TSPacket& packet, size_t& payload_length);
    static bool read_header(Channel::BlockReader& reader, TSPacket& packet, size_t& payload_length);

    // Reads a whole packet including its payload. On failure logs one error line ("Could not read
    // TS header", "Bad TS payload size", "TS packet truncated") and returns false; the reader is
    // then somewhere inside the bad packet.
    static bool read(Channel::Reader& reader, TSPacket& packet);
    static bool read(Channel::BlockReader& reader, TSPacket& packet);
    // The same for a packet whose 188 bytes are all in memory at data, as a pipeline holds them.
    static bool read(const uint8_t* data, TSPacket& packet);

    // Writes the 4-byte header and any adaptation field for a packet shaped like the template,
    // leaving room for the payload the caller writes next.
    //   payload_length  in: bytes the caller has to send; out: bytes this packet carries.
    //   counter         the running continuity counter: written and advanced (mod 16) for a
    //                   packet with payload; a packet without payload repeats the last value.
    //   keep_counter    write the template's own continuity_counter instead, leaving counter.
    // An adaptation field is added for the template's flags and PCR and, as stuffing, when fewer
    // than 184 payload bytes are offered. False if the writer throws Channel::Error.
    static bool write(Channel::Writer& writer, const TSPacket& packet, size_t& payload_length,
                      uint32_t& counter, bool keep_counter);
    // The same followed by the payload bytes from data: writes one whole 188-byte packet carrying
    // the first payload_length (out) bytes of data.
    static bool write(Channel::Writer& writer, const TSPacket& packet, const uint8_t* data,
                      size_t& payload_length, uint32_t& counter, bool keep_counter);
};

}  // namespace Corvid::MPEG
