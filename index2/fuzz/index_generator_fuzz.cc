// Any bytes as a captured stream, cut into packets by the pipeline as the capture thread feeds a
// segment's index: the generator and the writer must index what they can, never crash, hang or
// read outside a buffer. The first byte chooses the chunk size, so that packets also arrive split
// across feeds.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "gantry/channel/error.h"
#include "index2/index_writer.h"
#include "indexgen/index_generator.h"
#include "indexgen/ts_pipe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = 1 + data[0] * 7;
    Corvid::Index2::IndexWriter writer;
    if (writer.open("/dev/null", false) != 0) return 0;
    Corvid::IndexGen::IndexGenerator generator(writer, -1.0);
    Corvid::IndexGen::TSPipeline pipeline;
    pipeline.add_pipe(generator);
    try {
        for (size_t at = 1; at < size; at += chunk)
            pipeline.feed(data + at, std::min(chunk, size - at));
    } catch (const Gantry::Channel::Error&) {
    }
    return 0;
}
