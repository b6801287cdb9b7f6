#include "mpeg/section.h"

#include "mpeg/crc32.h"

namespace Corvid::MPEG {

void read_descriptors(const uint8_t* data, size_t length, DescriptorList& out) {
    size_t i = 0;
    while (i + 2 <= length) {
        const uint8_t tag = data[i];
        const size_t body = data[i + 1];
        if (body > length - i - 2) break;
        out.push_back(Descriptor{tag, std::vector<uint8_t>(data + i + 2, data + i + 2 + body)});
        i += 2 + body;
    }
}

size_t descriptors_length(const DescriptorList& descriptors) {
    size_t n = 0;
    for (const auto& d : descriptors)
        n += 2 + d.data.size();
    return n;
}

bool write_descriptors(const DescriptorList& descriptors, std::vector<uint8_t>& out) {
    for (const auto& d : descriptors) {
        if (d.data.size() > 255) return false;
    }
    for (const auto& d : descriptors) {
        out.push_back(d.tag);
        out.push_back(static_cast<uint8_t>(d.data.size()));
        out.insert(out.end(), d.data.begin(), d.data.end());
    }
    return true;
}

bool finish_section(const SectionHeader& header, const uint8_t* body, size_t body_length,
                    std::vector<uint8_t>& section, size_t max_body) {
    if (body_length > max_body || body_length + section_overhead - 3 > 0xFFF) return false;
    const size_t section_length = body_length + section_overhead - 3;
    section.clear();
    section.reserve(1 + 3 + section_length);
    section.push_back(0);  // pointer field: the section starts right after it
    section.push_back(header.table_id);
    section.push_back(static_cast<uint8_t>(0xB0 | section_length >> 8));
    section.push_back(static_cast<uint8_t>(section_length));
    section.push_back(static_cast<uint8_t>(header.table_id_extension >> 8));
    section.push_back(static_cast<uint8_t>(header.table_id_extension));
    section.push_back(
        static_cast<uint8_t>(0xC0 | (header.version & 0x1F) << 1 | (header.current_next ? 1 : 0)));
    section.push_back(header.section_number);
    section.push_back(header.last_section_number);
    section.insert(section.end(), body, body + body_length);
    const uint32_t crc = crc32_mpeg2(section.data() + 1, section.size() - 1);
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<uint8_t>(crc >> shift));
    return true;
}

}  // namespace Corvid::MPEG
