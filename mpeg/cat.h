// Conditional access table (PID 0x0001, table id 0x01). Body: descriptors, usually CA
// descriptors (tag 0x09: CA_system_id(16) reserved(3) CA_PID(13) private data).
#pragma once

#include <cstdint>
#include <vector>

#include "mpeg/section.h"
#include "mpeg/table_reader.h"

namespace Corvid::MPEG {

constexpr uint8_t cat_table_id = 0x01;

struct CAT {
    SectionHeader header;  // table_id_extension is reserved (0xFFFF on the air)
    DescriptorList descriptors;

    bool operator==(const CAT&) const = default;
};

class CATReader : public TableReader {
  public:
    bool accepts_table_id(uint8_t table_id) const override { return table_id == cat_table_id; }

    // The next section as a CAT; cat is replaced only on complete.
    Result read(CAT& cat);
};

// Section bytes (pointer field first) for cat; false if too long.
bool write_cat(const CAT& cat, std::vector<uint8_t>& section);

}  // namespace Corvid::MPEG
