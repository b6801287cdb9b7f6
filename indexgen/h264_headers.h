// The few H.264 header fields the intra picture parser needs, read from NAL units as collected
// from the stream (with or without their start code, emulation prevention bytes still in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Corvid::IndexGen {

// Copies the RBSP of a NAL unit: every 0x03 that follows two zero bytes is dropped.
void unescape_rbsp(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// Number of bits of frame_num (log2_max_frame_num_minus4 + 4) from a sequence parameter set; the
// unit starts at the first byte whose low five bits are 7. Returns 0 and logs "Could not read
// frame num length from SPS" if the data ends first or holds an impossible value. scratch is
// reused between calls.
unsigned read_frame_num_length(const uint8_t* data, size_t size, std::vector<uint8_t>& scratch);
unsigned read_frame_num_length(const uint8_t* data, size_t size);

// recovery_frame_cnt of the recovery point message in an SEI unit (which starts at the first byte
// whose low five bits are 6), or -1 if it holds none. An SEI unit whose messages run past its
// end logs "Failed to read recovery point information" and gives -1.
int32_t read_recovery_point(const uint8_t* data, size_t size, std::vector<uint8_t>& scratch);
int32_t read_recovery_point(const uint8_t* data, size_t size);

// frame_num from the start of a slice header (the bytes after the NAL header): first_mb_in_slice,
// slice_type and pic_parameter_set_id, then frame_num_length bits; first_mb_in_slice too when
// asked. False if the bytes end first.
bool read_slice_frame_num(const uint8_t* data, size_t size, unsigned frame_num_length,
                          uint32_t& frame_num, uint32_t* first_mb = nullptr);

}  // namespace Corvid::IndexGen
