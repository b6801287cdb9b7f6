// Program association table (PID 0x0000, table id 0x00).
// Body: entries of program_number(16) reserved(3) PID(13); program 0 names the network PID.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "mpeg/section.h"
#include "mpeg/table_reader.h"

namespace Corvid::MPEG {

constexpr uint8_t pat_table_id = 0x00;

struct PAT {
    SectionHeader header;                   // table_id_extension: transport_stream_id
    std::map<uint16_t, uint16_t> programs;  // program number -> PMT PID

    bool operator==(const PAT&) const = default;
};

class PATReader : public TableReader {
  public:
    bool accepts_table_id(uint8_t table_id) const override { return table_id == pat_table_id; }

    // The next section as a PAT; the result is read_section()'s. Every complete 4-byte entry is
    // taken (a repeated program number keeps the last PID). pat is replaced only on complete.
    Result read(PAT& pat);
};

// Section bytes (pointer field first) for pat, entries in program order; false if too long.
bool write_pat(const PAT& pat, std::vector<uint8_t>& section);

}  // namespace Corvid::MPEG
