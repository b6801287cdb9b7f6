#include "mpeg/sdt.h"

namespace Corvid::MPEG {

namespace {

constexpr long FIXED_FIELDS = 3;  // original_network_id, reserved
constexpr long SERVICE_HEADER = 5;

}  // namespace

TableReader::Result SDTReader::read(SDT& sdt) {
    SectionHeader header;
    size_t total = 0, length = 0;
    const uint8_t* data = nullptr;
    const Result result = read_section(header, total, data, length);
    if (result != complete) return result;
    const long L = static_cast<long>(length);
    if (L < FIXED_FIELDS) {
        consume(total);
        return discarded;
    }
    SDT out;
    out.header = header;
    // As in the EIT: up to four bytes after the last service are ignored.
    long i = FIXED_FIELDS;
    while (i < L - 4) {
        if (i + SERVICE_HEADER > L) {
            consume(total);
            return discarded;
        }
        const uint8_t* s = data + i;
        SDTService service;
        service.service_id = static_cast<uint16_t>(s[0] << 8 | s[1]);
        const long loop = (s[3] & 0x0F) << 8 | s[4];
        i += SERVICE_HEADER + loop;
        if (i > L) {
            consume(total);
            return discarded;
        }
        read_descriptors(s + SERVICE_HEADER, static_cast<size_t>(loop), service.descriptors);
        out.services.push_back(std::move(service));
    }
    consume(total);
    sdt = std::move(out);
    return complete;
}

}  // namespace Corvid::MPEG
