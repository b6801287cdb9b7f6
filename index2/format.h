// Constants of the "CVI2" index file format, shared by the writer and the reader. The byte layout
// is described in docs/cvi2-format.md.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Corvid::Index2 {

// "CVI2" read as a big-endian word.
inline constexpr uint32_t kMagic = 0x43564932;

// Every index the daemon writes uses this block size; the header block is one block long.
inline constexpr uint32_t kDefaultBlockSize = 256;

// Bytes of the fixed header fields (magic, header size, flags, block size).
inline constexpr uint32_t kHeaderFieldBytes = 16;

// Bytes of the fixed fields at the start of every data block; the inline data follows them.
inline constexpr uint32_t kBlockFieldBytes = 36;

// No writer produces larger blocks; a header that claims more is treated as corrupt, so that a
// hostile file cannot make a reader allocate a large buffer per block.
inline constexpr uint32_t kMaxBlockSize = 1u << 20;

// Block flags.
inline constexpr uint32_t kFlagNewNpt = 1;      // "NEW-NPT": the NPT moved forward at this block
inline constexpr uint32_t kFlagIntra = 2;       // "INTRA": first block of a trick-play entry
inline constexpr uint32_t kFlagRef = 4;         // "REF": ref length and ref offset are valid
inline constexpr uint32_t kFlagVideoStart = 8;  // "VIDEO-START": inline video data begins here

// Inline data is a run of whole transport stream packets.
inline constexpr size_t kPacketSize = 188;

// NPT is stored as unsigned 32-bit milliseconds, truncated toward zero.
inline uint32_t npt_to_millis(double npt) {
    double ms = npt * 1000.0;
    // Out-of-range values are not produced by the generator; keep the conversion defined anyway.
    if (!(ms > -9.2e18 && ms < 9.2e18)) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(ms));
}
inline double millis_to_npt(uint32_t millis) {
    return millis / 1000.0;
}

}  // namespace Corvid::Index2
