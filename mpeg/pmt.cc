#include "mpeg/pmt.h"

namespace Corvid::MPEG {

namespace {

uint16_t low_bits(const uint8_t* p, unsigned bits) {
    return static_cast<uint16_t>((p[0] << 8 | p[1]) & ((1u << bits) - 1));
}

void put_16(std::vector<uint8_t>& out, unsigned value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

}  // namespace

TableReader::Result PMTReader::read(PMT& pmt) {
    SectionHeader header;
    size_t total = 0, length = 0;
    const uint8_t* data = nullptr;
    const Result result = read_section(header, total, data, length);
    if (result != complete) return result;

    PMT table;
    table.header = header;
    if (length < 4) {
        consume(total);
        return discarded;
    }
    table.pcr_pid = low_bits(data, 13);
    const size_t program_info = low_bits(data + 2, 12);
    if (length < program_info + 4) {
        consume(total);
        return discarded;
    }
    read_descriptors(data + 4, program_info, table.descriptors);
    size_t i = 4 + program_info;
    while (length - i >= 5) {
        PMTStream stream;
        stream.stream_type = data[i];
        stream.pid = low_bits(data + i + 1, 13);
        const size_t es_info = low_bits(data + i + 3, 12);
        i += 5;
        if (es_info > length - i) {
            consume(total);
            return discarded;
        }
        read_descriptors(data + i, es_info, stream.descriptors);
        i += es_info;
        table.streams.push_back(std::move(stream));
    }
    consume(total);
    pmt = std::move(table);
    return complete;
}

bool write_pmt(const PMT& pmt, std::vector<uint8_t>& section) {
    std::vector<uint8_t> body;
    put_16(body, 0xE000 | (pmt.pcr_pid & 0x1FFF));
    const size_t program_info = descriptors_length(pmt.descriptors);
    if (program_info > 0xFFF) return false;
    put_16(body, 0xF000 | static_cast<unsigned>(program_info));
    if (!write_descriptors(pmt.descriptors, body)) return false;
    for (const auto& stream : pmt.streams) {
        const size_t es_info = descriptors_length(stream.descriptors);
        if (es_info > 0xFFF) return false;
        body.push_back(stream.stream_type);
        put_16(body, 0xE000 | (stream.pid & 0x1FFF));
        put_16(body, 0xF000 | static_cast<unsigned>(es_info));
        if (!write_descriptors(stream.descriptors, body)) return false;
    }
    SectionHeader header = pmt.header;
    header.table_id = pmt_table_id;
    return finish_section(header, body.data(), body.size(), section);
}

}  // namespace Corvid::MPEG
