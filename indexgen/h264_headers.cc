#include "indexgen/h264_headers.h"

#include "gantry/channel/channel.h"
#include "indexgen/log.h"

namespace Corvid::IndexGen {

namespace Channel = Gantry::Channel;

namespace {

// Index of the first byte whose low five bits are nal_type, or size.
size_t find_nal_header(const uint8_t* data, size_t size, unsigned nal_type) {
    size_t i = 0;
    while (i < size && (data[i] & 0x1F) != nal_type)
        ++i;
    return i;
}

// Profiles whose SPS carries chroma_format_idc and the bit depths.
bool has_chroma_info(unsigned profile_idc) {
    switch (profile_idc) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
        case 144:
            return true;
        default:
            return false;
    }
}

void skip_scaling_list(Channel::BitReader& bits, unsigned size) {
    int64_t last = 8;
    int64_t next = 8;
    for (unsigned j = 0; j < size && next != 0; ++j) {
        next = ((last + bits.read_se()) % 256 + 256) % 256;
        if (next != 0) last = next;
    }
}

// True if nothing but rbsp_trailing_bits (a 1 bit, then zeros) is left from position at.
bool only_trailing_bits(const std::vector<uint8_t>& rbsp, size_t at) {
    size_t end = rbsp.size();
    while (end > at && rbsp[end - 1] == 0)
        --end;
    return end == at || (end == at + 1 && rbsp[at] == 0x80);
}

}  // namespace

void unescape_rbsp(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    out.clear();
    out.reserve(size);
    unsigned zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
}

unsigned read_frame_num_length(const uint8_t* data, size_t size, std::vector<uint8_t>& scratch) {
    const size_t header = find_nal_header(data, size, 7);
    if (header < size) unescape_rbsp(data + header + 1, size - header - 1, scratch);
    try {
        if (header == size) throw Channel::Error(Channel::Error::end_of_data, "EOF");
        Channel::BitReader bits(scratch.data(), scratch.size());
        const unsigned profile_idc = bits.read_bits(8);
        bits.skip_bits(4 + 4 + 8);  // constraint flags, reserved bits, level_idc
        bits.read_ue();             // seq_parameter_set_id
        if (has_chroma_info(profile_idc)) {
            const uint32_t chroma_format_idc = bits.read_ue();
            if (chroma_format_idc == 3) bits.read_bit();  // separate_colour_plane_flag
            bits.read_ue();                               // bit_depth_luma_minus8
            bits.read_ue();                               // bit_depth_chroma_minus8
            bits.read_bit();                              // qpprime_y_zero_transform_bypass_flag
            if (bits.read_bit()) {                        // seq_scaling_matrix_present_flag
                const unsigned lists = chroma_format_idc == 3 ? 12 : 8;
                for (unsigned i = 0; i < lists; ++i)
                    if (bits.read_bit()) skip_scaling_list(bits, i < 6 ? 16 : 64);
            }
        }
        const uint32_t log2_max_frame_num_minus4 = bits.read_ue();
        // frame_num has 4 to 16 bits; anything else is not an SPS we can trust.
        if (log2_max_frame_num_minus4 > 12)
            throw Channel::Error(Channel::Error::data_error, "Bad log2_max_frame_num");
        return log2_max_frame_num_minus4 + 4;
    } catch (const Channel::Error&) {
        log_error("Could not read frame num length from SPS");
        return 0;
    }
}

unsigned read_frame_num_length(const uint8_t* data, size_t size) {
    std::vector<uint8_t> scratch;
    return read_frame_num_length(data, size, scratch);
}

int32_t read_recovery_point(const uint8_t* data, size_t size, std::vector<uint8_t>& scratch) {
    const size_t header = find_nal_header(data, size, 6);
    if (header == size) {
        log_error("Failed to read recovery point information");
        return -1;
    }
    unescape_rbsp(data + header + 1, size - header - 1, scratch);
    try {
        Channel::BlockReader reader(scratch.data(), scratch.size());
        // A unit of messages without a recovery point ends in its trailing bits: that is no error.
        while (!only_trailing_bits(scratch, static_cast<size_t>(reader.offset()))) {
            uint32_t type = 0;
            uint8_t b;
            while ((b = reader.read_byte()) == 0xFF)
                type += 255;
            type += b;
            uint32_t length = 0;
            while ((b = reader.read_byte()) == 0xFF)
                length += 255;
            length += b;
            if (length > reader.remaining())
                throw Channel::Error(Channel::Error::end_of_data, "EOF");
            if (type == 6) {
                Channel::BitReader bits(reader.current(), length);
                const uint32_t count = bits.read_ue();
                // recovery_frame_cnt is below MaxFrameNum (at most 2^16).
                if (count > 65535)
                    throw Channel::Error(Channel::Error::data_error, "Bad recovery_frame_cnt");
                return static_cast<int32_t>(count);
            }
            reader.skip(length);
        }
        return -1;
    } catch (const Channel::Error&) {
        log_error("Failed to read recovery point information");
        return -1;
    }
}

int32_t read_recovery_point(const uint8_t* data, size_t size) {
    std::vector<uint8_t> scratch;
    return read_recovery_point(data, size, scratch);
}

bool read_slice_frame_num(const uint8_t* data, size_t size, unsigned frame_num_length,
                          uint32_t& frame_num, uint32_t* first_mb) {
    uint8_t rbsp[16];
    size_t n = 0;
    unsigned zeros = 0;
    for (size_t i = 0; i < size && n < sizeof rbsp; ++i) {
        if (zeros >= 2 && data[i] == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        rbsp[n++] = data[i];
    }
    try {
        Channel::BitReader bits(rbsp, n);
        const uint32_t first = bits.read_ue();
        bits.read_ue();  // slice_type
        bits.read_ue();  // pic_parameter_set_id
        frame_num = bits.read_bits(frame_num_length);
        if (first_mb) *first_mb = first;
        return true;
    } catch (const Channel::Error&) {
        return false;
    }
}

}  // namespace Corvid::IndexGen
