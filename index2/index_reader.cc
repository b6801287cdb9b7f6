#include "index2/index_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include "gantry/channel/error.h"
#include "gantry/channel/fd.h"
#include "gantry/channel/stream.h"
#include "index2/log.h"

namespace Corvid::Index2 {

namespace {

// Bounds the forward and backward walks of the NPT search.
constexpr int kSearchSteps = 16;

template <typename... Parts>
void log(int level, const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts);
    detail::log_line(level, line.str());
}

}  // namespace

IndexReader::IndexReader(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd_ < 0) return;
    try {
        Channel::FDReader in(fd_);
        header_.read(in);
    } catch (const Channel::Error& error) {
        log(1, "File ", path, " is not a valid CVI2 file: ", error.what());
        ::close(fd_);
        fd_ = -1;
    }
}

IndexReader::~IndexReader() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t IndexReader::end_of_blocks() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0 || st.st_size <= 0) return 0;
    auto size = static_cast<uint64_t>(st.st_size);
    return size - size % header_.block_size;
}

void IndexReader::read_at(uint64_t position, Block& block) {
    off_t got = ::lseek(fd_, static_cast<off_t>(position), SEEK_SET);
    if (got < 0 || static_cast<uint64_t>(got) != position)
        throw Channel::Error(2, "Can't seek to block");
    Channel::FDReader in(fd_);
    block.block_size = header_.block_size;
    ++blocks_read_;
    block.read(in);
}

bool IndexReader::seek_block(uint64_t offset) {
    const uint64_t target = offset - (offset % header_.block_size);
    const off_t got = ::lseek(fd_, static_cast<off_t>(target), SEEK_SET);
    if (got < 0 || static_cast<uint64_t>(got) != target) {
        log(1, "Index file can't seek to offset ", target, " - got ", got);
        return false;
    }
    return true;
}

bool IndexReader::read_block(uint64_t offset, Block& block) {
    if (fd_ < 0) return false;
    try {
        if (offset != 0 && !seek_block(offset)) return false;
        Channel::FDReader in(fd_);
        block.block_size = header_.block_size;
        ++blocks_read_;
        block.read(in);
        return true;
    } catch (const Channel::Error& error) {
        log(1, "Corrupt CVI2 file: ", error.what());
        return false;
    }
}

bool IndexReader::read_entry(uint64_t offset, Block& block) {
    if (fd_ < 0) return false;
    try {
        if (!seek_block(offset)) return false;
        Channel::FDReader in(fd_);
        block.block_size = header_.block_size;
        const uint64_t size = header_.block_size;
        try {
            block.read_entry(in);
        } catch (const Channel::Error&) {
            blocks_read_ += in.offset() / size + 1;
            throw;
        }
        blocks_read_ += in.offset() / size;
        return true;
    } catch (const Channel::Error& error) {
        log(1, "Corrupt CVI2 file: ", error.what());
        return false;
    }
}

bool IndexReader::find_last(Block& block, uint64_t& position, uint32_t mask) {
    if (fd_ < 0) return false;
    const uint64_t size = header_.block_size;
    // The writer may be half way through appending a block: start from the last whole one.
    const uint64_t end = end_of_blocks();
    try {
        for (uint64_t at = end >= size ? end - size : 0; at >= size; at -= size) {
            read_at(at, block);
            if ((block.flags & mask) != mask) continue;
            if (block.npt > 0) {
                position = at;
                return true;
            }
            log(1, "Last block in index file has no NPT");
            return false;
        }
    } catch (const Channel::Error& error) {
        log(1, "Corrupt CVI2 file: ", error.what());
        return false;
    }
    log(1, "No matching blocks in index file");
    return false;
}

int32_t IndexReader::bit_rate() {
    Block last;
    uint64_t position;
    if (!find_last_block(last, position)) return 0;
    double rate = static_cast<double>(last.offset) * 8 / last.npt;
    if (!(rate < 2147483647.0)) return 2147483647;
    return static_cast<int32_t>(rate);
}

bool IndexReader::find_npt(double& npt, bool intra, uint64_t& stream_offset,
                           uint64_t& block_position) {
    const double target = npt;
    log(3, "Index file looking for NPT ", target);
    if (fd_ < 0 || std::isnan(target)) return false;
    const uint64_t size = header_.block_size;
    if (target <= 0) {
        npt = 0.0;
        stream_offset = 0;
        block_position = size;
        log(3, "Snapped to front of file");
        return true;
    }
    Block last;
    uint64_t last_position;
    if (!find_last_block(last, last_position)) return false;
    if (last.npt < target) {
        npt = last.npt;
        stream_offset = last.offset;
        block_position = last_position;
        log(3, "Snapped to end of file");
        return true;
    }
    // Only the blocks present now take part, whatever the writer appends meanwhile.
    const uint64_t end = last_position + size;

    auto whole = [size](int64_t at) {
        at -= at % static_cast<int64_t>(size);
        return std::max<int64_t>(at, static_cast<int64_t>(size));
    };
    int64_t estimate = whole(static_cast<int64_t>(target / last.npt * last_position));
    double previous_distance = 0;
    int64_t previous_position = estimate;

    Block block, base, next, found;
    uint64_t found_position = 0;
    // Moves the estimate back from a block whose NPT is already past the target, at the file's
    // mean rate (index bytes per second of NPT), damped like the interpolation below.
    auto jump_back = [&](double npt_here) {
        double diff = target - npt_here;
        if (previous_distance != 0 && std::fabs(diff) >= previous_distance)
            diff = -previous_distance * 7 / 8;
        auto jump = static_cast<int64_t>(diff * static_cast<double>(last_position) / last.npt);
        int64_t here = estimate;
        estimate = std::max<int64_t>(estimate + jump, 0);
        if (estimate >= here) estimate = here - static_cast<int64_t>(size);
        previous_distance = std::fabs(diff);
        estimate = whole(estimate);
        previous_position = here;
    };
    try {
        bool located = false;
        for (int step = 0; step < kSearchSteps && !located; ++step) {
            // A forward jump may overshoot where NPT grows unevenly: stay inside the file.
            estimate = std::min<int64_t>(estimate, static_cast<int64_t>(last_position));
            read_at(static_cast<uint64_t>(estimate), block);
            stream_offset = block.offset;
            block_position = static_cast<uint64_t>(estimate);
            found = block;
            found_position = block_position;

            uint64_t base_position = block_position;
            base = block;
            if (!block.has(kFlagNewNpt) && block.npt > target) {
                // Inside an entry that is already past the target: walking forward to the next
                // NEW-NPT block would only lead further away.
                jump_back(block.npt);
                continue;
            }
            if (!block.has(kFlagNewNpt)) {
                uint64_t at = block_position;
                int skipped = 0;
                for (;;) {
                    if (at + size >= end) {
                        npt = block.npt;
                        return true;
                    }
                    at += size;
                    read_at(at, next);
                    if (next.has(kFlagNewNpt)) break;
                    estimate += static_cast<int64_t>(size);
                    if (++skipped >= kSearchSteps) {
                        log(1, "No NEW_NPT found in ", kSearchSteps, " blocks - giving up");
                        return false;
                    }
                }
                if (block.npt <= target && target < next.npt) {
                    npt = block.npt;
                    located = true;
                    break;
                }
                base = next;
                base_position = at;
            }

            // The NPT interval [n1, n2) that starts at the base block.
            const double n1 = base.npt;
            uint64_t following = base_position;
            int skipped = 0;
            bool past_end = false;
            for (;;) {
                if (following + size >= end) {
                    past_end = n1 > target;  // the last NEW-NPT block, already past the target
                    if (past_end) break;
                    npt = n1;
                    stream_offset = base.offset;
                    block_position = base_position;
                    return true;
                }
                following += size;
                read_at(following, next);
                if (next.has(kFlagNewNpt)) break;
                if (++skipped >= kSearchSteps) {
                    log(1, "No NEW_NPT found in ", kSearchSteps, " blocks - giving up");
                    return false;
                }
            }
            if (past_end) {
                jump_back(n1);
                continue;
            }
            const double n2 = next.npt;
            if (n2 - n1 <= 0) {
                log(1, "Index NPTs are mis-ordered (delta ", n2 - n1, ") - giving up");
                return false;
            }
            if (n1 <= target && target < n2) {
                npt = n1;
                stream_offset = base.offset;
                block_position = base_position;
                found = base;
                found_position = base_position;
                located = true;
                break;
            }

            // Interpolate within [n1, n2); damp a guess that stopped converging.
            double diff = target - n1;
            if (previous_distance != 0 && std::fabs(diff) >= previous_distance)
                diff = std::copysign(previous_distance * 7 / 8, diff);
            const auto following_position = static_cast<int64_t>(following);
            auto jump = static_cast<int64_t>(static_cast<double>(following_position - estimate) /
                                             (n2 - n1) * diff);
            if (diff < 0) {
                estimate = std::max<int64_t>(estimate + jump, 0);
                if (estimate >= previous_position)
                    estimate = previous_position - static_cast<int64_t>(size);
                // A jump that rounds to nothing would read the same base again: the target lies
                // before the base, so move at least one block before it.
                const auto base_at = static_cast<int64_t>(base_position);
                if (estimate >= base_at) estimate = base_at - static_cast<int64_t>(size);
            } else {
                estimate = std::max<int64_t>(estimate + jump, following_position);
            }
            previous_distance = std::fabs(diff);
            estimate = whole(estimate);
            previous_position = following_position;
        }
        if (!located) npt = found.npt;

        if (intra && !(found.has(kFlagIntra) && found.npt >= target)) {
            bool taken = false;
            Block candidate;
            uint64_t at = found_position;
            if (!found.has(kFlagIntra)) {
                while (at >= 2 * size) {
                    at -= size;
                    read_at(at, candidate);
                    if (candidate.npt < target) break;
                    if (candidate.has(kFlagIntra)) {
                        taken = true;
                        break;
                    }
                }
            }
            if (!taken) {
                for (at = found_position + size; at + size <= end; at += size) {
                    read_at(at, candidate);
                    if (candidate.has(kFlagIntra) && candidate.npt >= target) {
                        taken = true;
                        break;
                    }
                }
            }
            if (taken) {
                npt = candidate.npt;
                stream_offset = candidate.offset;
                block_position = at;
            }
        }
        return true;
    } catch (const Channel::Error& error) {
        log(1, "Corrupt CVI2 file: ", error.what());
        return false;
    }
}

bool IndexReader::list_intra(double interval, IntraList& list) {
    if (fd_ < 0) return false;
    list.emplace_back(0.0, 0);
    double threshold = 0;
    const uint64_t size = header_.block_size;
    const uint64_t end = end_of_blocks();
    Block block;
    try {
        for (uint64_t at = header_.header_size; at + size <= end; at += size) {
            read_at(at, block);
            if (block.has(kFlagIntra) && block.npt > threshold + interval) {
                list.emplace_back(block.npt, block.offset);
                threshold += interval;
            }
        }
    } catch (const Channel::Error& error) {
        log(1, "Corrupt CVI2 file: ", error.what());
        return false;
    }
    return true;
}

bool IndexReader::rewrite(std::ostream& out, const std::map<uint64_t, int64_t>& shifts) {
    if (fd_ < 0) return false;
    const uint64_t size = header_.block_size;
    const uint64_t end = end_of_blocks();
    try {
        Channel::StreamWriter writer(out);
        Header copy = header_;
        copy.header_size = copy.block_size;
        copy.write(writer);
        auto next_shift = shifts.begin();
        int64_t shift = 0;
        Block block;
        for (uint64_t at = header_.header_size; at + size <= end; at += size) {
            read_at(at, block);
            while (next_shift != shifts.end() && block.offset >= next_shift->first) {
                shift = next_shift->second;
                ++next_shift;
            }
            block.offset += static_cast<uint64_t>(shift);
            block.write(writer);
        }
    } catch (const Channel::Error& error) {
        log(1, "Can't write updated index: ", error.what());
        return false;
    }
    return true;
}

}  // namespace Corvid::Index2
