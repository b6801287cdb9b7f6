// Intra pictures of MPEG-2 video: an entry runs from a sequence header to the end of the first
// picture after it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "indexgen/parser.h"

namespace Corvid::IndexGen {

// Marks a start at every sequence header (0xB3) and an end before the second picture start code
// (0x00) after it, or before the next sequence header if that comes first. The picture coding
// type is not read: a broadcaster puts a sequence header only before an I picture.
class MPEG2Parser final : public Parser {
  public:
    MPEG2Parser() = default;
    ~MPEG2Parser() override;

    PacketRecord* process(PacketRecord& record) override;

  private:
    void scan(PacketRecord& record, size_t begin);
    void start_code(PacketRecord& record, size_t begin, int64_t value_index, uint8_t value);
    // Resolves a byte index of the current record (negative or below begin: the byte lies in
    // the previous record) and marks it.
    PacketRecord& mark(PacketRecord& record, size_t begin, int64_t index, bool is_end);

    unsigned zeros_ = 0;  // zero bytes just seen (at most 2); 3: a whole 00 00 01 prefix
    bool in_sequence_ = false;
    unsigned pictures_ = 0;             // picture start codes since the sequence header
    PacketRecord* previous_ = nullptr;  // held
};

}  // namespace Corvid::IndexGen
