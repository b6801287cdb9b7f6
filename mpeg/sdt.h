// Service description table (PID 0x0011; EN 300 468): table id 0x42 for the actual transport
// stream, 0x46 for others.
//
// Body after the long header (table_id_extension is the transport_stream_id):
//   original_network_id(16) reserved(8)
//   services: service_id(16) reserved(6) EIT_schedule(1) EIT_present_following(1)
//             running_status(3) free_CA_mode(1) descriptors_loop_length(12) descriptors
#pragma once

#include <cstdint>
#include <vector>

#include "mpeg/section.h"
#include "mpeg/table_reader.h"

namespace Corvid::MPEG {

constexpr uint8_t sdt_actual_table_id = 0x42;
constexpr uint8_t sdt_other_table_id = 0x46;

struct SDTService {
    uint16_t service_id = 0;
    DescriptorList descriptors;  // in section order
};

struct SDT {
    SectionHeader header;
    std::vector<SDTService> services;
};

class SDTReader : public TableReader {
  public:
    bool accepts_table_id(uint8_t table_id) const override {
        return table_id == sdt_actual_table_id || table_id == sdt_other_table_id;
    }

    // The next section as an SDT; the result is read_section()'s, except that a body too short
    // for its fixed fields, or a service loop that runs past the body, discards the section
    // whole. sdt is replaced only on complete.
    Result read(SDT& sdt);
};

}  // namespace Corvid::MPEG
