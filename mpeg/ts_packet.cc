#include "mpeg/ts_packet.h"

#include <cmath>
#include <cstring>

#include "gantry/channel/error.h"
#include "gantry/log/rate_limit.h"

namespace Corvid::MPEG {

namespace {

// A corrupt feed fails packet after packet: the lines are limited per capture thread.
void log_error(const char* text) {
    Gantry::Log::limited_error(text);
}

// The PCR wraps at 2^33 ticks of its 90 kHz base, each worth 300 ticks of the 27 MHz clock.
constexpr uint64_t pcr_base_wrap = uint64_t{1} << 33;
constexpr double pcr_wrap_27mhz = static_cast<double>(pcr_base_wrap) * 300.0;

// Shared by the generic and the block reader: on a BlockReader every read below is an inline
// bounds check and load.
template <typename Reader>
bool parse_header(Reader& reader, TSPacket& packet, size_t& payload_length) {
    try {
        if (reader.read_byte() != ts_sync_byte) return false;
        const uint16_t word = reader.read_nbo_16();
        packet.payload_unit_start = (word & 0x4000) != 0;
        packet.pid = word & 0x1FFF;
        packet.pcr = -1.0;
        packet.discontinuity = false;
        packet.random_access = false;
        const uint8_t control = reader.read_byte();
        packet.scrambling = control >> 6;
        packet.continuity_counter = control & 0x0F;
        if (!(control & 0x20)) {
            payload_length = ts_max_payload;
            return true;
        }
        const unsigned length = reader.read_byte();
        if (length == 0) {
            payload_length = ts_max_payload - 1;
            return true;
        }
        if (length > ts_max_payload - 1) {
            // Would run past the packet. Report it before skipping anything, so that the reader
            // stays inside this packet and a stream reader does not lose the next one.
            payload_length = length + 1;
            return true;
        }
        const uint8_t flags = reader.read_byte();
        packet.discontinuity = (flags & 0x80) != 0;
        packet.random_access = (flags & 0x40) != 0;
        unsigned rest = length - 1;
        // A PCR flag in a field too short to hold the 6 PCR bytes is ignored: reading them would
        // shift the payload and run into the next packet.
        if ((flags & 0x10) && length >= 7) {
            const uint32_t high = reader.read_nbo_32();
            const uint16_t low = reader.read_nbo_16();
            const uint64_t base = uint64_t{high} << 1 | low >> 15;
            const uint64_t extension = low & 0x1FF;
            packet.pcr = static_cast<double>(base * 300 + extension) / pcr_clock_hz;
            rest = length - 7;
        }
        if (rest > 0) reader.skip(rest);
        payload_length = ts_max_payload - 1 - length;
        return true;
    } catch (const Channel::Error&) {
        return false;
    }
}

// Reads a packet that lies whole in memory. parse_header never reads past byte 187 (4 header bytes,
// the length byte and at most 183 more), so the bounds checks of a block reader are not needed.
class WholePacket {
  public:
    explicit WholePacket(const uint8_t* data) : at_(data) {}
    uint8_t read_byte() { return *at_++; }
    uint16_t read_nbo_16() {
        const auto value = static_cast<uint16_t>(at_[0] << 8 | at_[1]);
        at_ += 2;
        return value;
    }
    uint32_t read_nbo_32() {
        const uint32_t value =
            uint32_t{at_[0]} << 24 | uint32_t{at_[1]} << 16 | uint32_t{at_[2]} << 8 | at_[3];
        at_ += 4;
        return value;
    }
    void skip(size_t n) { at_ += n; }
    const uint8_t* current() const { return at_; }

  private:
    const uint8_t* at_;
};

// True with a payload read; logs and returns false otherwise.
template <typename Reader>
bool check_header(Reader& reader, TSPacket& packet, size_t& payload_length) {
    if (!parse_header(reader, packet, payload_length)) {
        log_error("Could not read TS header");
        return false;
    }
    if (payload_length > ts_max_payload) {
        log_error("Bad TS payload size");
        return false;
    }
    return true;
}

}  // namespace

void TSPacket::clear() {
    pid = 0;
    payload_unit_start = false;
    discontinuity = false;
    random_access = false;
    scrambling = 0;
    pcr = -1.0;
    continuity_counter = 0;
    payload.clear();
    offset = 0;
}

void TSPacket::copy_header(const TSPacket& from) {
    pid = from.pid;
    payload_unit_start = from.payload_unit_start;
    discontinuity = from.discontinuity;
    random_access = from.random_access;
    scrambling = from.scrambling;
    pcr = from.pcr;
    continuity_counter = from.continuity_counter;
    offset = from.offset;
}

bool TSPacket::read_header(Channel::Reader& reader, TSPacket& packet, size_t& payload_length) {
    return parse_header(reader, packet, payload_length);
}

bool TSPacket::read_header(Channel::BlockReader& reader, TSPacket& packet, size_t& payload_length) {
    return parse_header(reader, packet, payload_length);
}

bool TSPacket::read(Channel::Reader& reader, TSPacket& packet) {
    size_t length = 0;
    if (!check_header(reader, packet, length)) return false;
    packet.payload.resize(length);
    try {
        reader.read(packet.payload.data(), length);
    } catch (const Channel::Error&) {
        packet.payload.clear();
        log_error("TS packet truncated");
        return false;
    }
    return true;
}

bool TSPacket::read(Channel::BlockReader& reader, TSPacket& packet) {
    size_t length = 0;
    if (!check_header(reader, packet, length)) return false;
    if (reader.remaining() < length) {
        reader.skip(reader.remaining());
        packet.payload.clear();
        log_error("TS packet truncated");
        return false;
    }
    // assign() copies into the existing capacity without zero-filling first.
    packet.payload.assign(reader.current(), reader.current() + length);
    reader.skip(length);
    return true;
}

bool TSPacket::read(const uint8_t* data, TSPacket& packet) {
    WholePacket reader(data);
    size_t length = 0;
    if (!check_header(reader, packet, length)) return false;
    packet.payload.assign(reader.current(), reader.current() + length);
    return true;
}

namespace {

// Lays out header and adaptation field into out (at most 188 bytes); returns their size.
size_t layout_header(uint8_t* out, const TSPacket& packet, size_t& payload_length,
                     uint32_t& counter, bool keep_counter) {
    const bool has_payload = payload_length > 0;
    uint32_t nibble;
    if (keep_counter) {
        nibble = packet.continuity_counter & 0x0F;
    } else if (has_payload) {
        nibble = counter & 0x0F;
        counter = (counter + 1) & 0x0F;
    } else {
        nibble = (counter + 15) & 0x0F;  // no payload: the counter does not move
    }
    const bool has_pcr = packet.pcr >= 0 && std::isfinite(packet.pcr);
    const bool any_flag = packet.discontinuity || packet.random_access || has_pcr;
    const bool adaptation = any_flag || payload_length < ts_max_payload;

    size_t n = 0;
    out[n++] = ts_sync_byte;
    const uint16_t word = (packet.pid & 0x1FFF) | (packet.payload_unit_start ? 0x4000 : 0);
    out[n++] = static_cast<uint8_t>(word >> 8);
    out[n++] = static_cast<uint8_t>(word);
    out[n++] = static_cast<uint8_t>((packet.scrambling & 3) << 6 | (adaptation ? 0x20 : 0) |
                                    (has_payload ? 0x10 : 0) | nibble);
    if (!adaptation) {
        payload_length = ts_max_payload;
        return n;
    }
    // Adaptation field size without stuffing: the length byte alone only when exactly 183 bytes
    // of payload are offered and no flag is needed.
    size_t size = (any_flag || payload_length < ts_max_payload - 1) ? 2 : 1;
    if (has_pcr) size += 6;
    const size_t stuffing =
        payload_length + size < ts_max_payload ? ts_max_payload - payload_length - size : 0;
    out[n++] = static_cast<uint8_t>(stuffing + size - 1);
    if (size != 1) {
        out[n++] = static_cast<uint8_t>((packet.discontinuity ? 0x80 : 0) |
                                        (packet.random_access ? 0x40 : 0) | (has_pcr ? 0x10 : 0));
    }
    if (has_pcr) {
        // Rounded, not truncated: a PCR read as ticks / 27 MHz often multiplies back to a hair
        // below the whole tick count, and truncating would write it one tick early.
        const auto ticks = static_cast<uint64_t>(
            std::nearbyint(std::fmod(packet.pcr * pcr_clock_hz, pcr_wrap_27mhz)));
        const uint64_t base = (ticks / 300) & (pcr_base_wrap - 1);
        const uint64_t extension = ticks % 300;
        const auto high = static_cast<uint32_t>(base >> 1);
        const auto low = static_cast<uint16_t>((base & 1) << 15 | 0x7E00 | extension);
        out[n++] = static_cast<uint8_t>(high >> 24);
        out[n++] = static_cast<uint8_t>(high >> 16);
        out[n++] = static_cast<uint8_t>(high >> 8);
        out[n++] = static_cast<uint8_t>(high);
        out[n++] = static_cast<uint8_t>(low >> 8);
        out[n++] = static_cast<uint8_t>(low);
    }
    std::memset(out + n, 0xFF, stuffing);
    n += stuffing;
    payload_length = ts_max_payload - size - stuffing;
    return n;
}

}  // namespace

bool TSPacket::write(Channel::Writer& writer, const TSPacket& packet, size_t& payload_length,
                     uint32_t& counter, bool keep_counter) {
    uint8_t bytes[ts_packet_size];
    const size_t n = layout_header(bytes, packet, payload_length, counter, keep_counter);
    try {
        writer.write(bytes, n);
    } catch (const Channel::Error&) {
        return false;
    }
    return true;
}

bool TSPacket::write(Channel::Writer& writer, const TSPacket& packet, const uint8_t* data,
                     size_t& payload_length, uint32_t& counter, bool keep_counter) {
    uint8_t bytes[ts_packet_size];
    const size_t n = layout_header(bytes, packet, payload_length, counter, keep_counter);
    if (payload_length) std::memcpy(bytes + n, data, payload_length);
    try {
        writer.write(bytes, n + payload_length);
    } catch (const Channel::Error&) {
        return false;
    }
    return true;
}

}  // namespace Corvid::MPEG
