#include "indexgen/mpeg2_parser.h"

#include <algorithm>
#include <cstdint>

#include "indexgen/byte_masks.h"

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

// Start codes are rare in coded video: the search finds the pairs of zero bytes of up to 64 bytes
// at once and looks closer only there. Only prefixes that straddle records need zeros_, the zeros
// the previous record ended with.
void MPEG2Parser::scan(PacketRecord& record, size_t begin) {
    const uint8_t* data = record.packet.payload.data();
    const size_t size = record.packet.payload.size();
    size_t i = begin;
    unsigned carried = zeros_;
    zeros_ = 0;
    // Reports the start code whose value byte is at index v (or waits for it); false at the end.
    auto found = [&](size_t v) {
        if (v == size) {
            zeros_ = 3;  // the value byte is still to come
            return false;
        }
        start_code(record, begin, static_cast<int64_t>(v), data[v]);
        i = v + 1;
        carried = 0;
        return true;
    };
    if (carried == 3 && !found(i)) return;
    if (carried == 2 && data[i] == 1) {
        if (!found(i + 1)) return;
    } else if (carried >= 1 && i + 1 < size && data[i] == 0 && data[i + 1] == 1) {
        if (!found(i + 2)) return;
    }
    // Prefixes wholly inside the record, their first zero at q. Windows of 64 bytes overlap by
    // one, so that a pair across two windows is seen by the first.
    for (size_t w = i; w + 2 < size; w += 63) {
        const size_t n = std::min<size_t>(64, size - w);
        const uint64_t zeros = byte_bits(data + w, n, 0);
        uint64_t pairs = zeros & (zeros >> 1);
        while (pairs != 0) {
            const size_t q = w + static_cast<size_t>(__builtin_ctzll(pairs));
            pairs &= pairs - 1;
            if (q < i) continue;  // inside the start code just found
            if (q + 2 >= size) break;
            if (data[q + 2] == 1 && !found(q + 3)) return;
        }
    }
    // Zeros at the end may begin the next record's prefix.
    // (After a start code in this record, carried is 0.)
    zeros_ = zeros_before(data, i, size, carried, 2);
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
