// Event information table (PID 0x0012; EN 300 468): present/following and schedule, of the
// actual and of other transport streams, table ids 0x4E..0x6F.
//
// Body after the long header (table_id_extension is the service_id):
//   transport_stream_id(16) original_network_id(16) segment_last_section_number(8)
//   last_table_id(8)
//   events: event_id(16) start_time(40: MJD 16 + BCD hh mm ss) duration(24: BCD hh mm ss)
//           running_status(3) free_CA_mode(1) descriptors_loop_length(12) descriptors
#pragma once

#include <cstdint>
#include <vector>

#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"
#include "mpeg/section.h"
#include "mpeg/table_reader.h"

namespace Corvid::MPEG {

// EIT sections may be up to 4096 bytes long in all.
constexpr size_t max_eit_section_length = 4093;

struct EITEvent {
    uint16_t event_id = 0;
    Gantry::Time::Stamp start;  // UTC; invalid (zero) when the field is not a time
    Gantry::Time::Duration duration;
    DescriptorList descriptors;  // in section order
};

struct EIT {
    SectionHeader header;  // table_id_extension: service_id
    std::vector<EITEvent> events;
};

class EITReader : public TableReader {
  public:
    size_t max_section_length() const override { return max_eit_section_length; }
    bool accepts_table_id(uint8_t table_id) const override {
        return table_id >= 0x4E && table_id <= 0x6F;
    }

    // The next section as an EIT; the result is read_section()'s, except that a body too short
    // for its fixed fields, or an event loop that runs past the body, discards the section whole
    // (none of its events is returned). eit is replaced only on complete.
    Result read(EIT& eit);
};

}  // namespace Corvid::MPEG
