// What an HLS playlist needs from one segment and its index: the intra entries with the byte
// range that shows each picture alone, and where a range starting with that picture begins.
//
// A range cut at an intra entry's offset would start without the PAT and PMT a player needs
// first. The index carries them only inline, in blocks that cannot be served as a byte range, so
// a cut moves back to the PAT (followed by a PMT) that the stream sent before the picture; a
// muxer sends them there or close by. When none is found close enough, the cut stays at the
// entry and the stream's earlier PSI has to do.
//
// Reads the whole index once and, per cut asked for, a little of the segment before the entry.
// Not shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gantry/time/stamp.h"

namespace Corvid::Capture {

struct IntraPoint {
    double npt = 0;            // seconds
    uint64_t offset = 0;       // segment offset of the packet that starts the picture
    uint64_t picture_end = 0;  // just past the picture's last packet
};

class SegmentIndex {
  public:
    // Reads the index; a missing or unreadable one leaves no entries (logged by the reader).
    SegmentIndex(const std::string& segment_path, const std::string& index_path);
    ~SegmentIndex();
    SegmentIndex(const SegmentIndex&) = delete;
    SegmentIndex& operator=(const SegmentIndex&) = delete;

    // Complete intra entries in file order.
    const std::vector<IntraPoint>& intra() const { return intra_; }
    // The highest NPT of any block: where the indexed stream ends.
    double last_npt() const { return last_npt_; }
    // Segment size and modification time when the index was read.
    uint64_t size() const { return size_; }
    Gantry::Time::Stamp modified() const { return modified_; }

    // Where a range beginning with picture k starts: the PAT and PMT sent before it, never at or
    // before the previous picture; else the picture's own offset.
    uint64_t cut(size_t k);
    // Where the playable part of the file ends: before the last video PES packet that starts
    // after the last intra picture, which the switch to the next file most likely cut short (a
    // decoder would show it broken). The file size when there is none.
    uint64_t tail_end();

  private:
    void read_index(const std::string& index_path);

    int fd_ = -1;  // the segment
    uint64_t size_ = 0;
    Gantry::Time::Stamp modified_;
    double last_npt_ = 0;
    std::vector<IntraPoint> intra_;
    std::vector<uint64_t> cuts_;  // computed on demand; UINT64_MAX until then
    uint64_t tail_end_;           // the same
};

// The start of the last PAT before offset that is followed, still before offset, by the start of
// a PMT it lists; looked for among the 188-byte packets aligned on offset, no further back than
// floor nor than max_back bytes. offset itself when there is none.
uint64_t find_psi_before(int fd, uint64_t offset, uint64_t floor, uint64_t max_back);

}  // namespace Corvid::Capture
