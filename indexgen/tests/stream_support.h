// Shared by the indexgen tests: feeding streams through a pipeline.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "indexgen/indexgen.h"

namespace Corvid::IndexGen::Testing {

struct SeenPacket {
    uint64_t offset = 0;
    uint16_t pid = 0;
    uint32_t continuity_counter = 0;
    std::vector<uint8_t> payload;
};

// Remembers every packet it is given.
class CollectPipe final : public TSPipe {
  public:
    void process(const MPEG::TSPacket& packet) override {
        packets.push_back(
            SeenPacket{packet.offset, packet.pid, packet.continuity_counter, packet.payload});
    }
    // As the last pipe it takes the payload's storage and leaves a few junk bytes in exchange, so
    // that every test of what comes out also checks that the pipeline fills each packet afresh.
    void process_and_take(MPEG::TSPacket& packet) override {
        SeenPacket seen{packet.offset, packet.pid, packet.continuity_counter, {}};
        seen.payload.swap(packet.payload);
        packet.payload.assign(3, 0xEE);
        packets.push_back(std::move(seen));
    }
    std::vector<SeenPacket> packets;
};

// Feeds data through a fresh pipeline in chunks of the given size and returns what came out.
std::vector<SeenPacket> feed_in_chunks(const std::vector<uint8_t>& data, size_t chunk,
                                       uint64_t start_offset = 0);

}  // namespace Corvid::IndexGen::Testing
