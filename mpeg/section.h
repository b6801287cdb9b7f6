// The pieces shared by every PSI/SI section: the long header, descriptors, and the finishing step
// that turns a table body into section bytes.
//
// Section layout (big-endian):
//   table_id(8) section_syntax(1) '0'(1) reserved(2) section_length(12)
//   long header: table_id_extension(16) reserved(2) version(5) current_next(1)
//                section_number(8) last_section_number(8)
//   body ... CRC-32/MPEG-2(32) over everything from table_id to the end of the body
// section_length counts the bytes after itself, CRC included.
// Descriptor: tag(8) length(8) body(length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Corvid::MPEG {

// PAT, PMT and CAT sections may not exceed 1021 bytes after the length field.
constexpr size_t max_psi_section_length = 1021;
// Bytes of a section besides its body: 3 before the long header, 5 of it, 4 of CRC.
constexpr size_t section_overhead = 3 + 5 + 4;
// The largest body that still gives a PSI section a reader accepts.
constexpr size_t max_psi_body_length = max_psi_section_length + 3 - section_overhead;

struct SectionHeader {
    uint8_t table_id = 0;
    uint8_t version = 0;  // 5 bits
    bool current_next = false;
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
    uint16_t table_id_extension = 0;  // transport_stream_id (PAT), program_number (PMT)

    bool operator==(const SectionHeader&) const = default;
};

struct Descriptor {
    uint8_t tag = 0;
    std::vector<uint8_t> data;  // the body, without tag and length

    bool operator==(const Descriptor&) const = default;
};

using DescriptorList = std::vector<Descriptor>;

// Appends the descriptors found in data to out. Stops quietly where the data ends: a descriptor
// whose length runs past the end is not taken.
void read_descriptors(const uint8_t* data, size_t length, DescriptorList& out);
// Appends the descriptors' bytes to out; false (out untouched) if a body exceeds 255 bytes.
bool write_descriptors(const DescriptorList& descriptors, std::vector<uint8_t>& out);
size_t descriptors_length(const DescriptorList& descriptors);

// The common finishing step of the section writers: section becomes a pointer field 0, the long
// header of header (with the given table id), the body and the CRC. Refuses (false, section
// untouched) a body longer than max_body, by default the largest that keeps a PSI section within
// its 1021 bytes.
bool finish_section(const SectionHeader& header, const uint8_t* body, size_t body_length,
                    std::vector<uint8_t>& section, size_t max_body = max_psi_body_length);

}  // namespace Corvid::MPEG
