#include "indexgen/pes.h"

#include <cmath>
#include <cstring>

#include "gantry/channel/channel.h"
#include "indexgen/log.h"
#include "mpeg/ts_packet.h"

namespace Corvid::IndexGen {

namespace Channel = Gantry::Channel;

namespace {

constexpr double pts_clock_hz = 90000.0;
constexpr size_t pes_fixed_header = 9;  // start code, stream id, length, flags, header length
constexpr size_t timestamp_size = 5;

bool has_optional_header(uint8_t stream_id) {
    return stream_id >= 0xC0 && stream_id <= 0xEF;
}

double read_timestamp(Channel::BlockReader& reader) {
    const uint64_t b = reader.read_byte();
    const uint64_t w = reader.read_nbo_32();
    const uint64_t ticks = (b & 0x0E) << 29 | (w >> 17) << 15 | (w & 0xFFFE) >> 1;
    return static_cast<double>(ticks) / pts_clock_hz;
}

uint64_t to_ticks(double seconds) {
    // 33 bits; the conversion of a value out of range would be undefined.
    const double ticks = std::fmod(std::floor(seconds * pts_clock_hz), 8589934592.0);
    return ticks >= 0 ? static_cast<uint64_t>(ticks) : 0;
}

void encode_timestamp(uint8_t* out, uint8_t prefix, double seconds) {
    const uint64_t ticks = to_ticks(seconds);
    out[0] = static_cast<uint8_t>(prefix | (ticks >> 29 & 0x0E) | 1);
    const uint32_t word =
        static_cast<uint32_t>((ticks >> 15) << 17 | (ticks << 1 & 0xFFFF) | 0x10001);
    out[1] = static_cast<uint8_t>(word >> 24);
    out[2] = static_cast<uint8_t>(word >> 16);
    out[3] = static_cast<uint8_t>(word >> 8);
    out[4] = static_cast<uint8_t>(word);
}

// The record starts a PES packet whose header has the optional fields (flags, header length).
bool starts_pes_with_flags(const PacketRecord& record) {
    const auto& p = record.packet.payload;
    return record.es_offset != 0 && p.size() >= pes_fixed_header && p[0] == 0 && p[1] == 0 &&
           p[2] == 1 && has_optional_header(p[3]);
}

}  // namespace

bool read_pes_header(Channel::BlockReader& reader, PESHeader& header, int32_t& remaining) {
    try {
        const uint32_t start = reader.read_nbo_32();
        if ((start >> 8) != 0x000001) return false;
        const uint8_t id = static_cast<uint8_t>(start);
        const uint16_t length = reader.read_nbo_16();
        if (id >= 0xE0 && id <= 0xEF) {
            header.kind = PESHeader::video;
            header.stream_number = id & 0x0F;
        } else if (id >= 0xC0 && id <= 0xDF) {
            header.kind = PESHeader::audio;
            header.stream_number = id & 0x1F;
        } else {
            header.kind = PESHeader::other;
            header.stream_number = id;
            header.scrambling = 0;
            header.data_alignment = false;
            reader.skip(length);
            remaining = 0;
            return true;
        }
        const uint16_t flags = reader.read_nbo_16();
        header.scrambling = flags >> 12 & 3;
        header.data_alignment = (flags & 0x0400) != 0;
        const unsigned data_length = reader.read_byte();
        unsigned used = 0;
        if (flags & 0x80) {
            header.pts = read_timestamp(reader);
            used += timestamp_size;
        }
        if (flags & 0x40) {
            header.dts = read_timestamp(reader);
            used += timestamp_size;
        }
        if (data_length > used) reader.skip(data_length - used);
        remaining =
            length == 0 ? -1 : static_cast<int32_t>(length) - 3 - static_cast<int32_t>(data_length);
        return true;
    } catch (const Channel::Error&) {
        return false;
    }
}

bool write_pes_header(Channel::Writer& writer, const PESHeader& header, int64_t payload_length) {
    try {
        uint8_t id;
        if (header.kind == PESHeader::video)
            id = static_cast<uint8_t>((header.stream_number & 0x0F) | 0xE0);
        else if (header.kind == PESHeader::audio)
            id = static_cast<uint8_t>((header.stream_number & 0x1F) | 0xC0);
        else
            id = static_cast<uint8_t>(header.stream_number);
        writer.write_nbo_32(0x00000100u | id);
        const bool pts = header.pts >= 0;
        const bool dts = pts && header.dts >= 0;
        const unsigned extra = (pts ? timestamp_size : 0) + (dts ? timestamp_size : 0);
        if (header.kind != PESHeader::video && header.kind != PESHeader::audio) {
            // No optional header follows: the length counts the data alone.
            const bool fits = payload_length >= 0 && payload_length < 65536;
            writer.write_nbo_16(fits ? static_cast<uint16_t>(payload_length) : 0);
            return true;
        }
        const int64_t length = payload_length + extra + 3;
        writer.write_nbo_16(payload_length >= 0 && length < 65536 ? static_cast<uint16_t>(length)
                                                                  : 0);
        writer.write_nbo_16(static_cast<uint16_t>(0x8000 | (header.scrambling & 3) << 12 |
                                                  (header.data_alignment ? 0x0400 : 0) |
                                                  (pts ? 0x80 : 0) | (dts ? 0x40 : 0)));
        writer.write_byte(static_cast<uint8_t>(extra));
        uint8_t stamp[timestamp_size];
        if (pts) {
            encode_timestamp(stamp, dts ? 0x30 : 0x20, header.pts);
            writer.write(stamp, sizeof stamp);
        }
        if (dts) {
            encode_timestamp(stamp, 0x10, header.dts);
            writer.write(stamp, sizeof stamp);
        }
        return true;
    } catch (const Channel::Error&) {
        return false;
    }
}

bool clear_pts_dts(PacketRecord& record) {
    if (record.es_offset == 0) return false;
    auto& p = record.packet.payload;
    if (p.size() < pes_fixed_header) {
        log_error(
            "Could not clear PTS and DTS from PES (payload shorter than min PES header length)");
        return false;
    }
    // Only a real PES header with optional fields is edited, whatever es_offset claims.
    if (!starts_pes_with_flags(record)) return false;
    const size_t h = p[8];
    if (pes_fixed_header + h > p.size()) {
        log_error("Could not clear PTS and DTS from PES (PES header larger than TS)");
        return false;
    }
    const size_t n = ((p[7] & 0x80) ? timestamp_size : 0) + ((p[7] & 0x40) ? timestamp_size : 0);
    if (n == 0 || pes_fixed_header + n > p.size() || n > h) return false;
    uint8_t* header = p.data() + pes_fixed_header;
    std::memmove(header, header + n, h - n);
    std::memset(header + h - n, 0xFF, n);
    p[7] &= 0x3F;
    record.freed_header_bytes += static_cast<uint32_t>(n);
    return true;
}

bool insert_pts(PacketRecord& record) {
    auto& p = record.packet.payload;
    if (record.packet.pcr < 0 || record.es_offset == 0 || p.size() < 14) return false;
    if (!starts_pes_with_flags(record) || (p[7] & 0xC0) != 0) return false;
    const size_t freed = record.freed_header_bytes;
    const size_t need = freed < timestamp_size ? timestamp_size - freed : 0;
    const size_t h = p[8];
    if (pes_fixed_header + h + need > p.size() || h + need > 255 ||
        record.es_offset != pes_fixed_header + h)
        return false;
    if (need > 0) {
        const size_t es = pes_fixed_header + h;
        p.resize(p.size() + need);
        std::memmove(p.data() + es + need, p.data() + es, p.size() - need - es);
    }
    std::memmove(p.data() + 14, p.data() + pes_fixed_header, h + need - timestamp_size);
    encode_timestamp(p.data() + pes_fixed_header, 0x20, record.packet.pcr);
    p[7] |= 0x80;
    p[8] = static_cast<uint8_t>(h + need);
    record.es_offset += static_cast<uint32_t>(need);
    record.freed_header_bytes = static_cast<uint32_t>(freed + need - timestamp_size);
    return true;
}

bool set_pes_length(PacketRecord& first, uint64_t total) {
    auto& p = first.packet.payload;
    if (first.es_offset == 0 || p.size() < 6) return false;
    const uint16_t value = total >= 6 && total - 6 < 65536 ? static_cast<uint16_t>(total - 6) : 0;
    const uint16_t old = static_cast<uint16_t>(p[4] << 8 | p[5]);
    if (value == old) return false;
    p[4] = static_cast<uint8_t>(value >> 8);
    p[5] = static_cast<uint8_t>(value);
    first.modified = true;
    return true;
}

std::string make_video_header_packets(const std::string& header_data, uint16_t video_pid,
                                      double npt, uint32_t& counter) {
    PESHeader summary;
    summary.stream_number = 0xE0;
    summary.kind = PESHeader::video;
    summary.pts = npt >= 0 ? std::floor(npt) : -1.0;

    uint8_t head[32];
    Channel::BlockWriter head_writer(head, sizeof head);
    if (!write_pes_header(head_writer, summary, static_cast<int64_t>(header_data.size())))
        log_error("Failed to write PES packet!");
    std::string pes(reinterpret_cast<const char*>(head), static_cast<size_t>(head_writer.offset()));
    pes += header_data;

    MPEG::TSPacket packet;
    packet.pid = video_pid;
    packet.payload_unit_start = true;
    packet.discontinuity = true;
    packet.pcr = summary.pts;

    std::string out;
    const auto* data = reinterpret_cast<const uint8_t*>(pes.data());
    size_t done = 0;
    while (done < pes.size()) {
        uint8_t buffer[MPEG::ts_packet_size];
        Channel::BlockWriter writer(buffer, sizeof buffer);
        size_t length = pes.size() - done;
        if (!MPEG::TSPacket::write(writer, packet, data + done, length, counter, false) ||
            length == 0)
            break;
        out.append(reinterpret_cast<const char*>(buffer), sizeof buffer);
        done += length;
        packet.payload_unit_start = false;
        packet.discontinuity = false;
    }
    return out;
}

}  // namespace Corvid::IndexGen
