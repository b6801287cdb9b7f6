#include "indexgen/h264_parser.h"

#include <algorithm>
#include <cstring>

#include "indexgen/byte_masks.h"
#include "indexgen/h264_headers.h"

namespace Corvid::IndexGen {

namespace {

bool is_slice(unsigned nal_type) {
    return nal_type == 1 || nal_type == 5;
}

}  // namespace

H264Parser::~H264Parser() = default;

PacketRecord* H264Parser::process(PacketRecord& record) {
    const size_t size = record.packet.payload.size();
    if (record.es_offset >= size) {
        // No video bytes (adaptation field only, or a PES header alone): nothing to mark, and
        // the record before stays the one a split start code is traced back to.
        record.state = PacketRecord::released;
        return &record;
    }
    current_ = &record;
    dropped_count_ = 0;
    begin_ = record.es_offset;
    if (record.packet.scrambling != 0) {
        // Nothing in a scrambled packet can be read; a unit or slice header being collected
        // across it would be garbage.
        zeros_ = 0;
        nal_next_ = false;
        slice_left_ = 0;
        if (mode_ >= aud) {
            mode_ = idle;
            collection_.clear();
        }
        if (mode_ == in_idr || mode_ == in_recovery)
            set_candidate(Position{&record, static_cast<int64_t>(size) - 1});
    } else {
        scan(record.packet.payload.data(), size);
    }

    if (previous_ && previous_ != &record) drop(previous_);
    PacketRecord* released = nullptr;
    for (unsigned i = 0; i < dropped_count_; ++i) {
        PacketRecord* r = dropped_[i];
        if (r == &record || r == candidate_.record) continue;
        r->state = PacketRecord::released;
        released = r;
    }
    record.state = PacketRecord::held;
    if (candidate_.record) candidate_.record->state = PacketRecord::held;
    previous_ = &record;
    current_ = nullptr;
    return released;
}

// The first j >= i at which a 0x01 byte completes a start code prefix (two zero bytes before it,
// counting the zeros carried into i), or size if there is none.
size_t H264Parser::next_prefix_end(const uint8_t* data, size_t i, size_t size) const {
    if (data[i] == 1 && zeros_ >= 2) return i;
    if (i + 1 < size && data[i + 1] == 1 && data[i] == 0 && zeros_ >= 1) return i + 1;
    // Windows of 64 bytes overlap by two, so that each j from i + 2 on has its two bytes before
    // it in the same window.
    for (size_t w = i; w + 2 < size; w += 62) {
        const size_t n = std::min<size_t>(64, size - w);
        const uint64_t zeros = byte_bits(data + w, n, 0);
        const uint64_t ends = byte_bits(data + w, n, 1) & zeros << 1 & zeros << 2 & ~uint64_t{3};
        if (ends != 0) return w + static_cast<size_t>(__builtin_ctzll(ends));
    }
    return size;
}

// Between start codes nothing happens but zero counting and, while a unit is collected, copying;
// so the scan jumps from one start code to the next and steps byte by byte only around NAL
// headers and slice headers.
void H264Parser::scan(const uint8_t* data, size_t size) {
    size_t i = begin_;
    while (i < size) {
        if (nal_next_ || slice_left_ > 0) {
            step(data[i], i);
            ++i;
            continue;
        }
        const size_t j = next_prefix_end(data, i, size);
        if (mode_ >= aud && !collection_overflow_) {
            if (collection_.size() + (j - i) > max_unit_size) {
                // Not a unit we can use: drop it and wait for the next start code.
                collection_overflow_ = true;
                collection_.clear();
            } else {
                collection_.append(reinterpret_cast<const char*>(data + i), j - i);
            }
        }
        zeros_ = zeros_before(data, i, j, zeros_, 3);
        if (j == size) return;
        step(data[j], j);
        i = j + 1;
    }
}

// One byte, in the order: collection, slice header, end of the open picture, NAL header, zero
// counting.
void H264Parser::step(uint8_t byte, size_t index) {
    bool new_picture = false;
    if (mode_ >= aud) {
        if (collection_.size() >= max_unit_size) {
            collection_overflow_ = true;
            collection_.clear();
        }
        if (!collection_overflow_) collection_.push_back(static_cast<char>(byte));
    } else if (slice_left_ > 0) {
        slice_header_[sizeof slice_header_ - slice_left_] = byte;
        if (--slice_left_ == 0) new_picture = slice_header_complete();
    }
    if (new_picture && (mode_ == in_idr || mode_ == in_recovery)) {
        end_picture();
        if (slice_nal_type_ == 5 && !sps_.empty() && !pps_.empty()) {
            // This slice's header is already read: its frame_num is the new picture's.
            const int64_t frame_num = last_frame_num_;
            start_picture(true, slice_start_);
            last_frame_num_ = frame_num;
        }
    }
    if (nal_next_) {
        nal_header(byte, index);
        nal_next_ = false;
        zeros_ = 0;
        return;
    }
    if (byte == 0) {
        if (zeros_ < 3) ++zeros_;
    } else if (byte == 1 && zeros_ >= 2) {
        nal_next_ = true;
        zeros_at_start_ = zeros_;
    } else {
        zeros_ = 0;
    }
}

void H264Parser::nal_header(uint8_t byte, size_t index) {
    const unsigned nal_type = byte & 0x1F;
    const int64_t start = static_cast<int64_t>(index) - 1 - zeros_at_start_;  // first zero

    if (mode_ >= aud) {
        store_unit();
        mode_ = idle;
    } else if (mode_ == in_idr || mode_ == in_recovery) {
        if (is_slice(last_nal_type_)) set_candidate(resolve(start - 1));
    }

    if (mode_ == idle) {
        int collect = idle;
        switch (nal_type) {
            case 9:
                collect = aud;
                break;
            case 7:
                collect = sps;
                break;
            case 8:
                collect = pps;
                break;
            case 6:
                collect = sei;
                break;
            default:
                break;
        }
        if (collect != idle) {
            mode_ = collect;
            collection_.assign(zeros_at_start_, '\0');
            collection_.push_back('\x01');
            collection_.push_back(static_cast<char>(byte));
            collection_overflow_ = false;
        } else if (is_slice(nal_type)) {
            const bool idr = nal_type == 5;
            const bool recovery = (byte & 0x60) != 0 && recovery_count_ >= 0;
            if ((idr || recovery) && !sps_.empty() && !pps_.empty())
                start_picture(idr, resolve(start));
            delimiter_.clear();
            sei_.clear();
            // A recovery point names the picture it arrives with; later pictures of its period
            // are not entry points.
            recovery_count_ = -1;
        }
    }
    slice_left_ = is_slice(nal_type) && mode_ <= in_recovery ? sizeof slice_header_ : 0;
    if (slice_left_) {
        slice_nal_type_ = nal_type;
        slice_start_ = resolve(start);
    }
    last_nal_type_ = nal_type;
}

// The collection ends with the next unit's start code and NAL header, which are not part of it.
// Units are copied, not swapped, so that every buffer keeps the capacity it has grown to.
void H264Parser::store_unit() {
    if (collection_overflow_) {
        collection_overflow_ = false;
        collection_.clear();
        return;
    }
    const size_t tail = zeros_at_start_ + 2;
    collection_.resize(collection_.size() > tail ? collection_.size() - tail : 0);
    const auto* data = reinterpret_cast<const uint8_t*>(collection_.data());
    switch (mode_) {
        case aud:
            delimiter_.assign(collection_);
            break;
        case sps:
            frame_num_length_ = read_frame_num_length(data, collection_.size(), scratch_);
            sps_.assign(collection_);
            break;
        case pps:
            pps_.assign(collection_);
            break;
        case sei: {
            const int32_t count = read_recovery_point(data, collection_.size(), scratch_);
            if (count >= 0) recovery_count_ = count;
            if (sei_.size() + collection_.size() <= max_unit_size) sei_ += collection_;
            break;
        }
        default:
            break;
    }
    collection_.clear();
}

void H264Parser::start_picture(bool idr, Position at) {
    mode_ = idr ? in_idr : in_recovery;
    if (idr) recovery_count_ = -1;
    last_frame_num_ = -1;
    if (candidate_.record) drop(candidate_.record);
    candidate_ = Position{};
    at.record->add_mark(at.offset, false);
    at.record->has_header_start = true;
    std::string& header = at.record->header_data;
    header.reserve(delimiter_.size() + sps_.size() + pps_.size() + sei_.size());
    header.assign(delimiter_);
    header += sps_;
    header += pps_;
    header += sei_;
}

void H264Parser::end_picture() {
    if (candidate_.record) {
        candidate_.record->add_mark(candidate_.offset, true);
        drop(candidate_.record);
        candidate_ = Position{};
    }
    mode_ = idle;
}

bool H264Parser::slice_header_complete() {
    uint32_t frame_num, first_mb;
    if (!read_slice_frame_num(slice_header_, sizeof slice_header_, frame_num_length_, frame_num,
                              &first_mb))
        return false;
    bool new_picture = false;
    if (last_frame_num_ >= 0 &&
        (frame_num != last_frame_num_ || (slice_nal_type_ == 5 && first_mb == 0))) {
        if (mode_ != in_idr && recovery_count_ >= 0) --recovery_count_;
        new_picture = true;
    }
    last_frame_num_ = frame_num;
    return new_picture;
}

// A byte index of the current record; indexes below its elementary stream start lie at the end
// of the previous record.
H264Parser::Position H264Parser::resolve(int64_t index) const {
    const int64_t first = static_cast<int64_t>(begin_);
    if (index >= first || !previous_ || previous_ == current_)
        return Position{current_, std::max(index, first)};
    const int64_t offset = static_cast<int64_t>(previous_->packet.payload.size()) + index - first;
    return Position{previous_, std::max<int64_t>(offset, 0)};
}

void H264Parser::set_candidate(Position position) {
    if (candidate_.record && candidate_.record != position.record) drop(candidate_.record);
    candidate_ = position;
}

void H264Parser::drop(PacketRecord* record) {
    for (unsigned i = 0; i < dropped_count_; ++i)
        if (dropped_[i] == record) return;
    if (dropped_count_ < std::size(dropped_)) dropped_[dropped_count_++] = record;
}

}  // namespace Corvid::IndexGen
