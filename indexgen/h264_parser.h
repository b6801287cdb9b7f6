// Intra pictures of H.264 video: IDR pictures, and pictures that follow a recovery point SEI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "indexgen/parser.h"

namespace Corvid::IndexGen {

// An intra entry starts at the first slice of an IDR picture, or of a referenced picture whose
// access unit carries a recovery point SEI, once an SPS and a PPS have been seen. It ends before
// the first unit after the last slice of that picture, which is known only when the first slice
// header of the next picture arrives: a different frame_num, or an IDR slice that begins a
// picture (first_mb_in_slice 0) - consecutive IDR pictures all have frame_num 0, and an
// intra-only stream would otherwise make one entry that never ends. Such an IDR picture starts
// an entry of its own. The record where the entry starts
// gets has_header_start and, as header_data, the access unit delimiter, SPS, PPS and SEI units
// collected before it.
class H264Parser final : public Parser {
  public:
    // Longest parameter set or SEI unit collected (and the most SEI bytes kept for one picture):
    // a stream without further start codes cannot make the parser grow without bound.
    static constexpr size_t max_unit_size = 64 * 1024;

    H264Parser() = default;
    ~H264Parser() override;

    PacketRecord* process(PacketRecord& record) override;

    // frame_num length from the last SPS (0 until one was read).
    unsigned frame_num_length() const { return frame_num_length_; }

  private:
    enum Mode { idle = 0, in_idr = 1, in_recovery = 2, aud = 3, sps = 4, pps = 5, sei = 6 };

    struct Position {
        PacketRecord* record = nullptr;
        int64_t offset = 0;
    };

    void scan(const uint8_t* data, size_t size);
    size_t next_prefix_end(const uint8_t* data, size_t i, size_t size) const;
    void step(uint8_t byte, size_t index);
    void nal_header(uint8_t byte, size_t index);
    void store_unit();
    void start_picture(bool idr, Position at);
    void end_picture();
    // Whether the slice header just collected begins a new picture.
    bool slice_header_complete();
    Position resolve(int64_t index) const;
    void set_candidate(Position position);
    void drop(PacketRecord* record);

    // Scan state
    unsigned zeros_ = 0;           // zero bytes just seen, at most 3
    bool nal_next_ = false;        // the last byte completed a start code prefix
    unsigned zeros_at_start_ = 0;  // zeros of that prefix
    unsigned last_nal_type_ = 0;
    unsigned slice_left_ = 0;  // slice header bytes still to collect
    uint8_t slice_header_[8] = {};
    unsigned slice_nal_type_ = 0;  // of the slice whose header is collected
    Position slice_start_;         // its start code (first zero)

    // Picture state
    int mode_ = idle;
    int32_t recovery_count_ = -1;
    int64_t last_frame_num_ = -1;
    unsigned frame_num_length_ = 0;
    std::string collection_;
    bool collection_overflow_ = false;
    std::string delimiter_, sps_, pps_, sei_;
    std::vector<uint8_t> scratch_;

    // Records: the current one, the previous one (held), and the one holding the end candidate
    // (held while it is the candidate).
    PacketRecord* current_ = nullptr;
    size_t begin_ = 0;  // es_offset of the current record, within its payload
    PacketRecord* previous_ = nullptr;
    Position candidate_;
    PacketRecord* dropped_[4] = {};  // records let go of during this call
    unsigned dropped_count_ = 0;
};

}  // namespace Corvid::IndexGen
