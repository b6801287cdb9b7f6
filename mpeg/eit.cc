#include "mpeg/eit.h"

#include "mpeg/si_time.h"

namespace Corvid::MPEG {

namespace {

constexpr long FIXED_FIELDS = 6;  // transport_stream_id .. last_table_id
constexpr long EVENT_HEADER = 12;

}  // namespace

TableReader::Result EITReader::read(EIT& eit) {
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
    EIT out;
    out.header = header;
    // Up to four bytes after the last event are tolerated (and ignored); more that do not hold
    // a whole event make the section unusable.
    long i = FIXED_FIELDS;
    while (i < L - 4) {
        if (i + EVENT_HEADER > L) {
            consume(total);
            return discarded;
        }
        const uint8_t* e = data + i;
        EITEvent event;
        event.event_id = static_cast<uint16_t>(e[0] << 8 | e[1]);
        event.start = decode_mjd_time(e + 2);
        event.duration = decode_bcd_duration(e + 7);
        const long loop = (e[10] & 0x0F) << 8 | e[11];
        i += EVENT_HEADER + loop;
        if (i > L) {
            consume(total);
            return discarded;
        }
        read_descriptors(e + EVENT_HEADER, static_cast<size_t>(loop), event.descriptors);
        out.events.push_back(std::move(event));
    }
    consume(total);
    eit = std::move(out);
    return complete;
}

}  // namespace Corvid::MPEG
