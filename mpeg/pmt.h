// Program map table (the PID the PAT names, table id 0x02).
// Body: reserved(3) PCR_PID(13) reserved(4) program_info_length(12) descriptors, then per stream:
// stream_type(8) reserved(3) elementary_PID(13) reserved(4) ES_info_length(12) descriptors.
#pragma once

#include <cstdint>
#include <vector>

#include "mpeg/section.h"
#include "mpeg/table_reader.h"

namespace Corvid::MPEG {

constexpr uint8_t pmt_table_id = 0x02;

struct PMTStream {
    uint8_t stream_type = 0;
    uint16_t pid = 0;
    DescriptorList descriptors;

    bool operator==(const PMTStream&) const = default;
};

struct PMT {
    SectionHeader header;  // table_id_extension: program_number
    uint16_t pcr_pid = 0;
    DescriptorList descriptors;      // program level
    std::vector<PMTStream> streams;  // in section order

    bool operator==(const PMT&) const = default;
};

class PMTReader : public TableReader {
  public:
    bool accepts_table_id(uint8_t table_id) const override { return table_id == pmt_table_id; }

    // The next section as a PMT. A body shorter than its fixed fields, or whose program info or a
    // stream's ES info runs past the body, is consumed and gives discarded. pmt is replaced only
    // on complete.
    Result read(PMT& pmt);
};

// Section bytes (pointer field first) for pmt; false if it does not fit one section or a
// descriptor body exceeds 255 bytes.
bool write_pmt(const PMT& pmt, std::vector<uint8_t>& section);

}  // namespace Corvid::MPEG
