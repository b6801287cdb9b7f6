// The video parsers: they find where intra pictures begin and end in the video packets of one
// programme, so that the index generator can cut those pictures out for trick play.
#pragma once

#include "indexgen/packet_record.h"

namespace Corvid::IndexGen {

// A parser is given every record of the video PID once, in stream order. It may mark that record
// or the one before it, set has_header_start and header_data, and sets the state of the records it
// holds (PacketRecord::held) or lets go of (PacketRecord::released). A held record must stay at
// the same address and must not be edited until the parser releases it; a parser holds at most
// three records (the current, the previous and, for H.264, the one with a possible picture end).
// A record without elementary stream bytes (es_offset at the end of its payload) is released at
// once and does not count as the previous record.
//
// A parser belongs to one index generator and is used by its capture thread only.
class Parser {
  public:
    virtual ~Parser();
    // Returns the record released by this call, or nullptr (records released are also marked
    // released, which is what the generator acts on).
    virtual PacketRecord* process(PacketRecord& record) = 0;

  protected:
    Parser() = default;
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
};

}  // namespace Corvid::IndexGen
