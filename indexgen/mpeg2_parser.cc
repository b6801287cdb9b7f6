#include "indexgen/mpeg2_parser.h"

#include <algorithm>
#include <cstring>

namespace Corvid::IndexGen {

Parser::~Parser() = default;

MPEG2Parser::~MPEG2Parser() = default;

PacketRecord* MPEG2Parser::process(PacketRecord& record) {
    const size_t size = record.packet.payload.size();
    const size_t begin = std::min<size_t>(record.es_offset, size);
    if (begin == size) {
        // No video bytes (adaptation field only, or a PES header alone): nothing to mark, and
        // the record before stays the one a split start code is traced back to.
        record.state = PacketRecord::released;
        return &record;
    }
    if (record.packet.scrambling != 0)
        zeros_ = 0;  // scrambled bytes can neither hold nor continue a start code
    else
        scan(record, begin);

    PacketRecord* released = nullptr;
    if (previous_ && previous_ != &record) {
        previous_->state = PacketRecord::released;
        released = previous_;
    }
    record.state = PacketRecord::held;
    previous_ = &record;
    return released;
}

// Start codes are rare in coded video, so the scan jumps from one 0x01 byte to the next and only
// then looks back for the two zeros of a prefix. zeros_ carries a prefix that straddles records.
void MPEG2Parser::scan(PacketRecord& record, size_t begin) {
    const uint8_t* data = record.packet.payload.data();
    const size_t size = record.packet.payload.size();
    size_t i = begin;
    unsigned carried = zeros_;
    zeros_ = 0;
    if (carried == 3) {
        if (i == size) {
            zeros_ = 3;  // the value byte is still to come
            return;
        }
        start_code(record, begin, static_cast<int64_t>(i), data[i]);
        ++i;
        carried = 0;
    }
    while (i < size) {
        const void* hit = std::memchr(data + i, 0x01, size - i);
        const size_t j = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - data) : size;
        // Zeros right before j (or before the end), continuing the carried ones at the record
        // start.
        size_t k = j;
        while (k > i && j - k < 2 && data[k - 1] == 0)
            --k;
        unsigned zeros = static_cast<unsigned>(j - k);
        if (k == begin) zeros = std::min(2u, zeros + carried);
        if (j == size) {
            zeros_ = zeros;
            return;
        }
        carried = 0;
        if (zeros < 2) {
            i = j + 1;
            continue;
        }
        if (j + 1 == size) {
            zeros_ = 3;
            return;
        }
        start_code(record, begin, static_cast<int64_t>(j + 1), data[j + 1]);
        i = j + 2;
    }
}

void MPEG2Parser::start_code(PacketRecord& record, size_t begin, int64_t value_index,
                             uint8_t value) {
    if (value == 0xB3) {
        if (in_sequence_) mark(record, begin, value_index - 4, true);
        mark(record, begin, value_index - 3, false).has_header_start = true;
        in_sequence_ = true;
        pictures_ = 0;
    } else if (value == 0x00 && in_sequence_) {
        if (++pictures_ == 2) {
            in_sequence_ = false;
            mark(record, begin, value_index - 4, true);
        }
    }
}

PacketRecord& MPEG2Parser::mark(PacketRecord& record, size_t begin, int64_t index, bool is_end) {
    const int64_t first = static_cast<int64_t>(begin);
    if (index >= first || !previous_ || previous_ == &record) {
        record.add_mark(std::max(index, first), is_end);
        return record;
    }
    // Counted back from the end of the previous record's payload.
    previous_->add_mark(index - first, is_end);
    return *previous_;
}

}  // namespace Corvid::IndexGen
