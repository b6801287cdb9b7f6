#include "capture/hls_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "gantry/channel/error.h"
#include "index2/block.h"
#include "index2/index_reader.h"

namespace Corvid::Capture {

namespace {

constexpr uint64_t kPacket = Index2::kPacketSize;
constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();
// PSI repeats every 100 ms or so; at 20 Mbit/s that is 250 kB.
constexpr uint64_t kMaxPsiDistance = 1 << 20;
// Packets read per step of the backward search: ffmpeg and most muxers put the PAT and PMT right
// before a key frame, so the first step usually finds them.
constexpr uint64_t kScanPackets = 32;

bool read_fully(int fd, uint8_t* data, size_t length, uint64_t at) {
    while (length > 0) {
        ssize_t got = ::pread(fd, data, length, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        length -= static_cast<size_t>(got);
        at += static_cast<uint64_t>(got);
    }
    return true;
}

uint16_t pid_of(const uint8_t* p) {
    return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
}
bool unit_start(const uint8_t* p) {
    return p[1] & 0x40;
}

// The PMT PIDs of a packet that starts a PAT section (program 0, the NIT, left out).
std::vector<uint16_t> pat_programs(const uint8_t* p) {
    std::vector<uint16_t> pids;
    if (!(p[3] & 0x10)) return pids;
    size_t at = 4;
    if (p[3] & 0x20) at += 1 + p[4];
    if (at >= kPacket) return pids;
    at += 1 + p[at];  // pointer field
    if (at + 8 > kPacket || p[at] != 0x00) return pids;
    const size_t section_end =
        std::min<size_t>(at + 3 + ((p[at + 1] & 0x0F) << 8 | p[at + 2]), kPacket + 4);
    // Programs run from after the 8-byte header to the CRC.
    for (size_t i = at + 8; i + 4 <= section_end - 4 && i + 4 <= kPacket; i += 4)
        if ((p[i] << 8 | p[i + 1]) != 0)
            pids.push_back(static_cast<uint16_t>((p[i + 2] & 0x1F) << 8 | p[i + 3]));
    return pids;
}

}  // namespace

uint64_t find_psi_before(int fd, uint64_t offset, uint64_t floor, uint64_t max_back) {
    floor = std::max(floor, offset > max_back ? offset - max_back : 0);
    std::vector<uint16_t> started;  // PIDs with a unit start between the candidate and offset
    std::vector<uint8_t> chunk;
    uint64_t end = offset;
    while (end >= floor + kPacket) {
        const uint64_t packets = std::min(kScanPackets, (end - floor) / kPacket);
        const uint64_t begin = end - packets * kPacket;
        chunk.resize(packets * kPacket);
        if (!read_fully(fd, chunk.data(), chunk.size(), begin)) break;
        for (uint64_t i = packets; i-- > 0;) {
            const uint8_t* p = chunk.data() + i * kPacket;
            if (p[0] != 0x47 || !unit_start(p)) continue;
            const uint16_t pid = pid_of(p);
            if (pid == 0) {
                for (uint16_t pmt : pat_programs(p))
                    if (std::find(started.begin(), started.end(), pmt) != started.end())
                        return begin + i * kPacket;
            } else if (std::find(started.begin(), started.end(), pid) == started.end()) {
                started.push_back(pid);
            }
        }
        end = begin;
    }
    return offset;
}

SegmentIndex::SegmentIndex(const std::string& segment_path, const std::string& index_path)
    : tail_end_(kUnknown) {
    fd_ = ::open(segment_path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) {
        size_ = static_cast<uint64_t>(st.st_size);
        modified_ = Gantry::Time::Stamp::from_timespec(st.st_mtim);
    }
    read_index(index_path);
    cuts_.assign(intra_.size(), kUnknown);
}

SegmentIndex::~SegmentIndex() {
    if (fd_ >= 0) ::close(fd_);
}

void SegmentIndex::read_index(const std::string& index_path) {
    Index2::IndexReader reader(index_path);
    if (!reader.valid()) return;
    const uint32_t block_size = reader.header().block_size;
    if (block_size < Index2::kBlockFieldBytes) return;
    int fd = ::open(index_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    // Whole blocks present now: the capture may be appending to the index.
    const uint64_t end = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;

    IntraPoint entry;
    uint16_t expected = 0, count = 0;  // the entry being read: next index, its block count
    Index2::Block block;
    block.block_size = block_size;
    std::vector<uint8_t> buffer;
    const uint64_t per_read = std::max<uint64_t>(1, (1 << 20) / block_size);
    try {
        for (uint64_t at = reader.header().header_size; at + block_size <= end;) {
            const uint64_t blocks = std::min(per_read, (end - at) / block_size);
            buffer.resize(blocks * block_size);
            if (!read_fully(fd, buffer.data(), buffer.size(), at)) break;
            for (uint64_t b = 0; b < blocks; ++b) {
                block.decode(buffer.data() + b * block_size);
                last_npt_ = std::max(last_npt_, block.npt);
                if (block.count == 0) continue;
                if (block.index == 0) {
                    // A new entry; one still open was cut short and is dropped.
                    count = block.has(Index2::kFlagIntra) ? block.count : 0;
                    expected = 0;
                    entry = {block.npt, block.offset, block.offset + kPacket};
                } else if (block.index != expected || block.count != count) {
                    count = 0;
                    continue;
                }
                if (count == 0) continue;
                entry.picture_end = std::max(entry.picture_end, block.offset + kPacket);
                if (block.has(Index2::kFlagRef))
                    entry.picture_end =
                        std::max(entry.picture_end, block.ref_offset + block.ref_length);
                if (++expected == count) {
                    intra_.push_back(entry);
                    count = 0;
                }
            }
            at += blocks * block_size;
        }
    } catch (const Gantry::Channel::Error&) {
        // A corrupt block ends what can be used; the entries before it stand.
    }
    ::close(fd);
}

uint64_t SegmentIndex::cut(size_t k) {
    if (cuts_[k] == kUnknown) {
        const uint64_t floor = k > 0 ? intra_[k - 1].offset + kPacket : 0;
        cuts_[k] = fd_ < 0 || intra_[k].offset < floor
                       ? intra_[k].offset
                       : find_psi_before(fd_, intra_[k].offset, floor, kMaxPsiDistance);
    }
    return cuts_[k];
}

uint64_t SegmentIndex::tail_end() {
    if (tail_end_ != kUnknown) return tail_end_;
    tail_end_ = size_;
    if (fd_ < 0 || intra_.empty()) return tail_end_;
    const IntraPoint& last = intra_.back();
    uint8_t packet[kPacket];
    if (last.offset + kPacket > size_ || !read_fully(fd_, packet, kPacket, last.offset) ||
        packet[0] != 0x47)
        return tail_end_;
    const uint16_t video = pid_of(packet);
    // Packets stay aligned on the intra entry's offset.
    const uint64_t floor = std::max(last.picture_end, last.offset + kPacket);
    std::vector<uint8_t> chunk;
    for (uint64_t end = size_ - (size_ - last.offset) % kPacket; end >= floor + kPacket;) {
        const uint64_t packets = std::min<uint64_t>(256, (end - floor) / kPacket);
        const uint64_t begin = end - packets * kPacket;
        chunk.resize(packets * kPacket);
        if (!read_fully(fd_, chunk.data(), chunk.size(), begin)) break;
        for (uint64_t i = packets; i-- > 0;) {
            const uint8_t* p = chunk.data() + i * kPacket;
            if (p[0] == 0x47 && unit_start(p) && pid_of(p) == video)
                return tail_end_ = begin + i * kPacket;
        }
        end = begin;
    }
    return tail_end_;
}

}  // namespace Corvid::Capture
