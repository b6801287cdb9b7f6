#include "index2/tests/index_test_util.h"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include "gantry/channel/stream.h"
#include "index2/header.h"

namespace Corvid::Index2::Testing {

void write_index(const std::string& path, const std::vector<Block>& blocks, uint32_t block_size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    Gantry::Channel::StreamWriter writer(out);
    Header header;
    header.block_size = block_size;
    header.write(writer);
    for (Block block : blocks) {
        block.block_size = block_size;
        block.write(writer);
    }
}

std::vector<Block> synthetic_index(double seconds, double gop_seconds, uint64_t bytes_per_second) {
    std::vector<Block> blocks;
    const int ticks = static_cast<int>(seconds / 0.04);
    const int gop_ticks = static_cast<int>(std::lround(gop_seconds / 0.04));
    for (int tick = 1; tick <= ticks; ++tick) {
        double npt = tick * 0.04;
        uint64_t offset = static_cast<uint64_t>(npt * bytes_per_second) / 188 * 188;
        if (tick % gop_ticks == 5 % gop_ticks) {
            Block psi;
            psi.offset = offset;
            psi.npt = npt;
            psi.flags = kFlagIntra | kFlagNewNpt;
            psi.count = 3;
            psi.index = 0;
            psi.data.assign(220, 'P');
            Block video = psi;
            video.flags = kFlagVideoStart;
            video.index = 1;
            video.data.assign(156, 'V');
            Block ref = psi;
            ref.flags = kFlagRef;
            ref.index = 2;
            ref.data.clear();
            ref.ref_offset = offset + 188;
            ref.ref_length = 188 * 40;
            blocks.push_back(psi);
            blocks.push_back(video);
            blocks.push_back(ref);
        } else {
            Block npt_block;
            npt_block.offset = offset;
            npt_block.npt = npt;
            npt_block.flags = kFlagNewNpt;
            blocks.push_back(npt_block);
        }
    }
    return blocks;
}

}  // namespace Corvid::Index2::Testing
