// The index of a one-hour segment of a 4 Mbit/s channel, written by the real IndexWriter from
// records shaped like that channel: a PCR every 40 ms, an intra picture of 200 video packets every
// 2 s (the first packet changed, the rest referenced, the NPT moving on inside the picture).
// Shared by the benchmarks that need an index of real size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "index2/index_writer.h"
#include "indexgen/packet_record.h"

namespace Corvid::Index2::Bench {

constexpr uint64_t hour_bytes_per_second = 500000;

// Writes the index at path with psi as its PSI data; on_picture(offset) runs before each picture
// (false stops). False if the index cannot be written.
inline bool write_hour_index(const std::string& path, const std::string& psi,
                             const std::function<bool(uint64_t)>& on_picture = {}) {
    using IndexGen::PacketRecord;
    IndexWriter writer;
    if (writer.open(path, false) != 0) return false;
    writer.set_psi_data(psi);
    PacketRecord record;
    record.packet.pid = 0x100;
    record.packet.payload.assign(184, 0x55);
    for (double t = 0.04; t < 3600; t += 0.04) {
        const uint64_t offset = static_cast<uint64_t>(t * hour_bytes_per_second) / 188 * 188;
        if (static_cast<int>(t / 0.04 + 0.5) % 50 != 0) {
            writer.add_npt(offset, t);
            continue;
        }
        if (on_picture && !on_picture(offset)) return false;
        for (int i = 0; i < 200; ++i) {
            record.marks.clear();
            record.state = PacketRecord::intra;
            record.intra_start = i == 0;
            record.modified = i == 0;
            record.packet.offset = offset + i * 376;
            record.npt = t + (i / 50) * 0.04;
            if (i == 0) record.marks.push_back({0, false});
            if (i == 199) record.marks.push_back({100, true});
            writer.add_packet(record);
        }
    }
    writer.close();
    return true;
}

}  // namespace Corvid::Index2::Bench
