// Any bytes as a captured stream, fed to a segment's index set as the capture thread feeds it: the
// generator and the writer must index what they can, never crash, hang or read outside a buffer.
// The first byte chooses the chunk size, so that packets also arrive split across feeds.
#include <cstddef>
#include <cstdint>

#include "capture/index_set.h"
#include "gantry/channel/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = 1 + data[0] * 7;
    Corvid::IndexGen::IndexSet set;
    if (!set.create("/dev/null", 0, -1.0)) return 0;
    try {
        for (size_t at = 1; at < size; at += chunk)
            set.feed(data + at, std::min(chunk, size - at));
    } catch (const Gantry::Channel::Error&) {
    }
    set.close();
    return 0;
}
