#include "indexgen/tests/stream_support.h"

#include <algorithm>

namespace Corvid::IndexGen::Testing {

std::vector<SeenPacket> feed_in_chunks(const std::vector<uint8_t>& data, size_t chunk,
                                       uint64_t start_offset) {
    CollectPipe collect;
    TSPipeline pipeline(start_offset);
    pipeline.add_pipe(collect);
    for (size_t at = 0; at < data.size(); at += chunk)
        pipeline.feed(data.data() + at, std::min(chunk, data.size() - at));
    return std::move(collect.packets);
}

}  // namespace Corvid::IndexGen::Testing
