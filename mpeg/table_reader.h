// Reassembly of PSI/SI sections from the payloads of one PID's packets, with the CRC check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mpeg/section.h"
#include "mpeg/ts_packet.h"

namespace Corvid::MPEG {

// Base of every table reader. The caller feeds it the packets of its table's PID with add(), then
// calls read_section() (or a derived read()) until it returns need_more: discarded means "call
// again", complete hands over one section, which the caller consumes once it has used it.
// Continuity counters are not checked; a lost packet shows up as a bad CRC.
//
// Nothing in a packet can make the reader read outside its buffer, loop, or grow without bound:
// the buffer never holds more than max_section_length() + 3 + 184 bytes; beyond that it is reset.
//
// One thread at a time; data pointers handed out stay valid until the next add/consume/reset.
class TableReader {
  public:
    enum Result : int { discarded = 0, need_more = 1, complete = 2 };

    TableReader() = default;
    TableReader(const TableReader&) = default;
    TableReader& operator=(const TableReader&) = default;
    virtual ~TableReader();

    // Longest section_length accepted (bytes after the length field).
    virtual size_t max_section_length() const;
    virtual bool has_long_header() const;
    virtual bool accepts_table_id(uint8_t table_id) const;

    // Adds a packet's payload. Before a section has started only a payload_unit_start packet is
    // taken (false otherwise): the bytes the pointer field skips are dropped. Later packets append
    // their payload, a payload_unit_start packet without its pointer field, so that the bytes it
    // skips end the section in progress. A payload_unit_start packet whose pointer field points
    // past its payload is refused and resets the reader.
    bool add(const TSPacket& packet, const uint8_t* payload, size_t length);
    bool add(const TSPacket& packet) {
        return add(packet, packet.payload.data(), packet.payload.size());
    }

    // Looks at the buffered bytes after any 0xFF stuffing:
    //   need_more  fewer than 3 bytes, or the section is not complete yet;
    //   discarded  table id not accepted, section_length out of range, or CRC mismatch: the reader
    //              has been reset (everything buffered is dropped);
    //   complete   header filled (long-header fields only with has_long_header()),
    //              total_length = the section's bytes in the buffer (consume() that many when
    //              done), data/data_length = the body after the header, CRC excluded.
    // header.table_id is set whenever 3 bytes were there.
    Result read_section(SectionHeader& header, size_t& total_length, const uint8_t*& data,
                        size_t& data_length);

    // Removes the first n buffered bytes (all if n is at least the size).
    void consume(size_t n);
    // Removes leading 0xFF stuffing bytes.
    void skip_stuffing();
    // Drops everything; the next section starts with a payload_unit_start packet.
    void reset();

    bool started() const { return started_; }
    size_t buffered() const { return buffer_.size(); }

  private:
    void append(const uint8_t* bytes, size_t length);

    std::vector<uint8_t> buffer_;
    bool started_ = false;
};

}  // namespace Corvid::MPEG
