// Finding start codes in coded video: a bit per byte that equals a value, for up to 64 bytes at a
// time. The loads do not depend on one another, so a whole packet's payload is examined in a few
// cycles and the parsers look closer only where the bits say.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Corvid::IndexGen {

#if defined(__SSE2__)
// Bit k set for each byte k of the sixteen at p that equals value.
inline uint32_t byte_bits16(const uint8_t* p, uint8_t value) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i want = _mm_set1_epi8(static_cast<char>(value));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, want)));
}
#endif

// Bit k set for each byte k of the n (at most 64) at p that equals value.
inline uint64_t byte_bits(const uint8_t* p, size_t n, uint8_t value) {
    uint64_t bits = 0;
    size_t k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= n; k += 16)
        bits |= uint64_t{byte_bits16(p + k, value)} << k;
    if (k < n && n >= 16) {
        // The last few bytes come from a load that ends at n and overlaps the one before.
        bits |= uint64_t{byte_bits16(p + n - 16, value) >> (16 - (n - k))} << k;
        return bits;
    }
#endif
    for (; k < n; ++k)
        bits |= uint64_t{p[k] == value} << k;
    return bits;
}

// The zero bytes that end data[from, end), at most cap of them; when the run reaches from, the
// carried zeros (those that ended the bytes before from) count too. A start code prefix may be
// split anywhere, so a parser carries these into its next record or search.
inline unsigned zeros_before(const uint8_t* data, size_t from, size_t end, unsigned carried,
                             unsigned cap) {
    size_t k = end;
    while (k > from && end - k < cap && data[k - 1] == 0)
        --k;
    const auto zeros = static_cast<unsigned>(end - k);
    return k == from ? std::min(cap, zeros + carried) : zeros;
}

}  // namespace Corvid::IndexGen
