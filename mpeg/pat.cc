#include "mpeg/pat.h"

namespace Corvid::MPEG {

TableReader::Result PATReader::read(PAT& pat) {
    SectionHeader header;
    size_t total = 0, length = 0;
    const uint8_t* data = nullptr;
    const Result result = read_section(header, total, data, length);
    if (result != complete) return result;
    pat.header = header;
    pat.programs.clear();
    for (size_t i = 0; i + 4 <= length; i += 4) {
        const auto program = static_cast<uint16_t>(data[i] << 8 | data[i + 1]);
        pat.programs[program] = static_cast<uint16_t>((data[i + 2] & 0x1F) << 8 | data[i + 3]);
    }
    consume(total);
    return complete;
}

bool write_pat(const PAT& pat, std::vector<uint8_t>& section) {
    std::vector<uint8_t> body;
    body.reserve(pat.programs.size() * 4);
    for (const auto& [program, pid] : pat.programs) {
        body.push_back(static_cast<uint8_t>(program >> 8));
        body.push_back(static_cast<uint8_t>(program));
        body.push_back(static_cast<uint8_t>(0xE0 | (pid >> 8 & 0x1F)));
        body.push_back(static_cast<uint8_t>(pid));
    }
    SectionHeader header = pat.header;
    header.table_id = pat_table_id;
    return finish_section(header, body.data(), body.size(), section);
}

}  // namespace Corvid::MPEG
