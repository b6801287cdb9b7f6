// Any bytes as an index file: every reader operation must end in a result or a logged error,
// never a crash, a hang or a read outside a buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "gantry/channel/block.h"
#include "gantry/channel/error.h"
#include "index2/index_reader.h"

using Corvid::Index2::Block;
using Corvid::Index2::IndexReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The multi-block entry read straight from memory.
    try {
        Gantry::Channel::BlockReader in(data, size);
        Block entry;
        entry.block_size = size > 4 ? 36 + data[4] : 256;
        entry.read_entry(in);
    } catch (const Gantry::Channel::Error&) {
    }

    static int fd = ::memfd_create("index", 0);
    if (fd < 0) return 0;
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    IndexReader reader("/proc/self/fd/" + std::to_string(fd));
    Block block;
    uint64_t position = 0, offset = 0;
    reader.find_last_intra(block, position);
    reader.find_last_block(block, position);
    reader.bit_rate();
    for (double target : {0.5, 3.7, 61.0, 1e9}) {
        double npt = target;
        reader.find_npt(npt, false, offset, position);
        npt = target;
        reader.find_npt(npt, true, offset, position);
    }
    IndexReader::IntraList list;
    reader.list_intra(0, list);
    reader.list_intra(2.5, list);
    for (uint64_t at : {0ull, 256ull, 300ull, 1024ull}) {
        reader.read_block(at, block);
        reader.read_entry(at == 0 ? 256 : at, block);
    }
    std::ostringstream copy;
    reader.rewrite(copy, {{0, 5}, {1000, -3}});
    return 0;
}
