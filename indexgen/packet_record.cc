#include "indexgen/packet_record.h"

namespace Corvid::IndexGen {

void PacketRecord::clear_state() {
    marks.clear();
    pes = PESHeader{};
    es_offset = 0;
    freed_header_bytes = 0;
    intra_start = false;
    has_header_start = false;
    state = released;
    npt = 0.0;
    modified = false;
    serialised.clear();
    header_data.clear();
}

void PacketRecord::reset(const MPEG::TSPacket& from) {
    clear_state();
    packet = from;  // vector assignment reuses the payload's storage
}

void PacketRecord::reset_taking(MPEG::TSPacket& from) {
    clear_state();
    packet.copy_header(from);
    packet.payload.swap(from.payload);
}

void PacketRecord::add_mark(int64_t offset, bool is_end) {
    const int64_t size = static_cast<int64_t>(packet.payload.size());
    if (offset < 0) offset += size;
    // A start code that began two records back, or a parser fed a record it had not seen, can
    // name a byte outside this payload; the nearest byte inside keeps every consumer in bounds.
    if (offset >= size) offset = size - 1;
    if (offset < 0) offset = 0;
    marks.push_back(FrameMark{static_cast<int32_t>(offset), is_end});
}

}  // namespace Corvid::IndexGen
