#include "mpeg/table_reader.h"

#include "mpeg/crc32.h"

namespace Corvid::MPEG {

TableReader::~TableReader() = default;

size_t TableReader::max_section_length() const {
    return max_psi_section_length;
}

bool TableReader::has_long_header() const {
    return true;
}

bool TableReader::accepts_table_id(uint8_t) const {
    return false;
}

void TableReader::append(const uint8_t* bytes, size_t length) {
    // A caller that reads after every add never holds more than one unfinished section plus one
    // payload. More means nobody is reading, or the data is garbage that never forms a section:
    // start again rather than grow.
    if (buffer_.size() + length > max_section_length() + 3 + ts_max_payload) {
        buffer_.clear();
        started_ = false;
        return;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + length);
}

bool TableReader::add(const TSPacket& packet, const uint8_t* payload, size_t length) {
    // A pointer field must point inside its payload (at most 183). Taken modulo 256, as a plain
    // byte sum would, 0xFF skips nothing and reads the previous section's tail as a new one.
    if (packet.payload_unit_start && length > 0 && payload[0] >= length) {
        reset();
        return false;
    }
    if (!started_) {
        if (!packet.payload_unit_start || length == 0) return false;
        const size_t skip = payload[0] + size_t{1};
        started_ = true;
        append(payload + skip, length - skip);
        return started_;
    }
    if (packet.payload_unit_start) {
        if (length > 0) append(payload + 1, length - 1);
    } else {
        append(payload, length);
    }
    if (!started_ && packet.payload_unit_start) return add(packet, payload, length);
    return started_;
}

TableReader::Result TableReader::read_section(SectionHeader& header, size_t& total_length,
                                              const uint8_t*& data, size_t& data_length) {
    skip_stuffing();
    if (buffer_.size() < 3) return need_more;
    const uint8_t* b = buffer_.data();
    header.table_id = b[0];
    if (!accepts_table_id(b[0])) {
        reset();
        return discarded;
    }
    const size_t section_length = (b[1] & 0x0F) << 8 | b[2];
    // Room for the CRC, and with a long header for that too, so that the body length below can
    // never come out negative.
    const size_t minimum = has_long_header() ? 5 + 4 : 4;
    if (section_length < minimum || section_length > max_section_length()) {
        reset();
        return discarded;
    }
    if (buffer_.size() < section_length + 3) return need_more;

    size_t start = 3;
    size_t length = section_length - 4;
    if (has_long_header()) {
        header.table_id_extension = static_cast<uint16_t>(b[3] << 8 | b[4]);
        header.version = (b[5] >> 1) & 0x1F;
        header.current_next = (b[5] & 1) != 0;
        header.section_number = b[6];
        header.last_section_number = b[7];
        start += 5;
        length -= 5;
    }
    const uint8_t* crc_field = b + section_length - 1;
    const uint32_t crc = uint32_t{crc_field[0]} << 24 | uint32_t{crc_field[1]} << 16 |
                         uint32_t{crc_field[2]} << 8 | crc_field[3];
    if (crc32_mpeg2(b, section_length - 1) != crc) {
        reset();
        return discarded;
    }
    total_length = section_length + 3;
    data = b + start;
    data_length = length;
    return complete;
}

void TableReader::consume(size_t n) {
    if (n >= buffer_.size())
        buffer_.clear();
    else
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
}

void TableReader::skip_stuffing() {
    size_t n = 0;
    while (n < buffer_.size() && buffer_[n] == 0xFF)
        ++n;
    if (n) consume(n);
}

void TableReader::reset() {
    buffer_.clear();
    started_ = false;
}

}  // namespace Corvid::MPEG
