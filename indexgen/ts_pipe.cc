#include "indexgen/ts_pipe.h"

#include <algorithm>
#include <cstring>

namespace Corvid::IndexGen {

namespace {

constexpr size_t packet_size = MPEG::ts_packet_size;
constexpr uint8_t sync_byte = MPEG::ts_sync_byte;

}  // namespace

TSPipe::~TSPipe() = default;

TSPipeline::TSPipeline(uint64_t offset)
    : buffer_offset_(offset), next_(offset), search_from_(offset) {}

TSPipeline::~TSPipeline() = default;

void TSPipeline::process(const MPEG::TSPacket& packet) {
    for (TSPipe* pipe : pipes_)
        pipe->process(packet);
}

void TSPipeline::emit() {
    const size_t count = pipes_.size();
    if (count == 0) return;
    for (size_t k = 0; k + 1 < count; ++k)
        pipes_[k]->process(packet_);
    pipes_[count - 1]->process_and_take(packet_);
}

void TSPipeline::feed(const uint8_t* data, size_t length) {
    if (length == 0) return;
    const uint64_t data_offset = buffer_offset_ + buffer_.size();
    // In step with a sync byte right at the start of the new data (the usual case: datagrams of
    // whole packets), nothing buffered can matter any more: parse in place.
    if (!buffer_.empty() && in_step_ && next_ == data_offset && data[0] == sync_byte) {
        buffer_.clear();
        buffer_offset_ = data_offset;
        // The bytes a lost step would search again are gone with the buffer.
        search_from_ = std::max(search_from_, data_offset);
    }
    if (buffer_.empty()) {
        buffer_offset_ = data_offset;
        try {
            scan(data, length, data_offset);
        } catch (...) {
            keep_tail(data, length, data_offset);
            throw;
        }
        keep_tail(data, length, data_offset);
        return;
    }
    buffer_.insert(buffer_.end(), data, data + length);
    // The buffer is compacted once, whatever happens in the pipes.
    struct Compact {
        TSPipeline& self;
        ~Compact() {
            const uint64_t keep_from = std::max(
                self.buffer_offset_,
                self.in_step_ && self.search_from_ < self.next_ ? self.search_from_ : self.next_);
            const size_t drop = static_cast<size_t>(
                std::min<uint64_t>(keep_from - self.buffer_offset_, self.buffer_.size()));
            self.buffer_.erase(self.buffer_.begin(),
                               self.buffer_.begin() + static_cast<ptrdiff_t>(drop));
            self.buffer_offset_ += drop;
        }
    } compact{*this};
    scan(buffer_.data(), buffer_.size(), buffer_offset_);
}

void TSPipeline::keep_tail(const uint8_t* data, size_t size, uint64_t base) {
    const uint64_t keep_from =
        std::max(base, in_step_ && search_from_ < next_ ? search_from_ : next_);
    const uint64_t end = base + size;
    if (keep_from >= end) {
        buffer_.clear();
        buffer_offset_ = end;
        return;
    }
    const size_t from = static_cast<size_t>(keep_from - base);
    buffer_.assign(data + from, data + size);
    buffer_offset_ = keep_from;
}

void TSPipeline::scan(const uint8_t* data, size_t size, uint64_t base) {
    const uint64_t end = base + size;
    for (;;) {
        if (in_step_) {
            if (next_ >= end) return;
            const size_t p = static_cast<size_t>(next_ - base);
            if (data[p] != sync_byte) {
                // Lost step: the last packet may have been cut short, so search from just after
                // its sync byte.
                in_step_ = false;
                next_ = search_from_ < next_ ? search_from_ : next_ + 1;
                continue;
            }
            if (size - p < packet_size) return;  // wait for the rest of the packet
            next_ += packet_size;
            search_from_ = base + p + 1;
            packet_.clear();
            packet_.offset = base + p;
            // A packet whose adaptation field is impossible is dropped (and logged by read);
            // its sync byte was where it belonged, so the next one is expected 188 bytes on.
            if (MPEG::TSPacket::read(data + p, packet_)) emit();
            continue;
        }
        // Searching: a 0x47 counts only if another follows one packet later.
        if (next_ >= end) return;
        const size_t from = static_cast<size_t>(next_ - base);
        const void* hit = std::memchr(data + from, sync_byte, size - from);
        if (!hit) {
            next_ = end;
            return;
        }
        const size_t q = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        next_ = base + q;
        if (size - q <= packet_size) return;  // the confirming byte has not arrived yet
        if (data[q + packet_size] == sync_byte) {
            in_step_ = true;
            search_from_ = next_;
        } else {
            next_ += 1;
        }
    }
}

}  // namespace Corvid::IndexGen
