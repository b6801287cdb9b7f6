#include "mpeg/cat.h"

namespace Corvid::MPEG {

TableReader::Result CATReader::read(CAT& cat) {
    SectionHeader header;
    size_t total = 0, length = 0;
    const uint8_t* data = nullptr;
    const Result result = read_section(header, total, data, length);
    if (result != complete) return result;
    CAT table;
    table.header = header;
    read_descriptors(data, length, table.descriptors);
    consume(total);
    cat = std::move(table);
    return complete;
}

bool write_cat(const CAT& cat, std::vector<uint8_t>& section) {
    std::vector<uint8_t> body;
    if (!write_descriptors(cat.descriptors, body)) return false;
    SectionHeader header = cat.header;
    header.table_id = cat_table_id;
    return finish_section(header, body.data(), body.size(), section);
}

}  // namespace Corvid::MPEG
