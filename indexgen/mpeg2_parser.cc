#include "indexgen/mpeg2_parser.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// One flag bit (the top bit of its byte) for every byte k of the eight at p that is zero and
// followed by another zero within the eight, so that a whole word without a 00 00 pair is
// passed over in a few instructions.
inline uint64_t zero_pairs(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    const uint64_t zero = ~(((v & low7) + low7) | v | low7);  // exact: no borrow between bytes
    return zero & (zero >> 8);
}

#if defined(__SSE2__)
// The same for sixteen bytes, one bit per byte (bit k for byte k), bytes 0..14 only.
inline uint32_t zero_pairs16(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const uint32_t zero =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    return zero & (zero >> 1);
}
#endif

inline size_t first_flagged_byte(uint64_t flags) {
    return static_cast<size_t>(__builtin_ctzll(flags)) / 8;
}

}  // namespace

// Start codes are rare in coded video: the search inside a record tests eight bytes at a time for
// a pair of zeros and looks closer only where one is. Only prefixes that straddle records need
// zeros_, the zeros the previous record ended with.
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
    // Prefixes wholly inside the record, their first zero at q.
    size_t q = i;
    while (q + 2 < size) {
#if defined(__SSE2__)
        if (q + 16 <= size) {
            const uint32_t pairs = zero_pairs16(data + q);
            if (pairs == 0) {
                q += 15;  // the sixteenth byte may still begin a pair
                continue;
            }
            q += static_cast<size_t>(__builtin_ctz(pairs));
            if (q + 2 >= size) break;
        } else
#endif
            if (q + 8 <= size) {
            const uint64_t pairs = zero_pairs(data + q);
            if (pairs == 0) {
                q += 7;  // the eighth byte may still begin a pair
                continue;
            }
            q += first_flagged_byte(pairs);
            if (q + 2 >= size) break;
        } else if (data[q] != 0 || data[q + 1] != 0) {
            ++q;
            continue;
        }
        if (data[q + 2] == 1) {
            if (!found(q + 3)) return;
            q = i;
        } else {
            ++q;
        }
    }
    // Zeros at the end may begin the next record's prefix.
    size_t k = size;
    while (k > i && size - k < 2 && data[k - 1] == 0)
        --k;
    unsigned zeros = static_cast<unsigned>(size - k);
    if (k == begin) zeros = std::min(2u, zeros + carried);
    zeros_ = zeros;
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
