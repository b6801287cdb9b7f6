#include "capture/rtp.h"

namespace Corvid::Capture {

namespace {

constexpr size_t FIXED_HEADER = 12;
constexpr size_t TS_PACKET = 188;
constexpr uint8_t SYNC_BYTE = 0x47;
constexpr uint8_t MP2T = 33;

bool whole_packets(const uint8_t* data, size_t length) {
    if (length == 0 || length % TS_PACKET != 0) return false;
    for (size_t at = 0; at < length; at += TS_PACKET)
        if (data[at] != SYNC_BYTE) return false;
    return true;
}

}  // namespace

std::optional<RtpPacket> parse_rtp(const uint8_t* data, size_t length) {
    if (length < FIXED_HEADER || (data[0] >> 6) != 2) return std::nullopt;
    size_t header = FIXED_HEADER + 4 * (data[0] & 0x0F);
    if (data[0] & 0x10) {
        if (header + 4 > length) return std::nullopt;
        header += 4 + 4 * ((size_t(data[header + 2]) << 8) | data[header + 3]);
    }
    size_t end = length;
    if (data[0] & 0x20) {
        const size_t padding = data[length - 1];
        if (padding == 0 || padding > length) return std::nullopt;
        end -= padding;
    }
    if (header > end) return std::nullopt;
    return RtpPacket{header, end - header, static_cast<uint16_t>((data[2] << 8) | data[3]),
                     static_cast<uint8_t>(data[1] & 0x7F)};
}

RtpSequence::Verdict RtpSequence::take(uint16_t sequence) {
    if (!started_) {
        started_ = true;
        highest_ = sequence;
        seen_ = 1;
        known_ = 1;
        return NEXT;
    }
    const uint16_t ahead = static_cast<uint16_t>(sequence - highest_);
    if (ahead == 0) return DUPLICATE;
    if (ahead < max_dropout) {
        lost_ += ahead - 1;
        seen_ = ahead >= window ? 1 : (seen_ << ahead) | 1;
        known_ = std::min(window, known_ + ahead);
        highest_ = sequence;
        restart_.reset();
        return NEXT;
    }
    const unsigned behind = 65536u - ahead;
    if (behind < window) {
        // Before the first datagram taken nothing was counted lost.
        if (behind >= known_) return LATE;
        const uint64_t bit = uint64_t(1) << behind;
        if (seen_ & bit) return DUPLICATE;
        seen_ |= bit;
        lost_--;
        return LATE;
    }
    if (restart_ == sequence) {
        highest_ = sequence;
        seen_ = 3;
        known_ = 2;
        restart_.reset();
        return NEXT;
    }
    restart_ = static_cast<uint16_t>(sequence + 1);
    return STRAY;
}

bool RtpUnwrapper::unwrap_rtp(const uint8_t*& data, size_t& length) {
    const std::optional<RtpPacket> rtp = parse_rtp(data, length);
    const bool is_rtp = rtp && (mode_ == RtpMode::YES ||
                                (rtp->payload_type == MP2T &&
                                 whole_packets(data + rtp->header_length, rtp->payload_length)));
    if (!is_rtp) {
        if (mode_ == RtpMode::AUTO) return true;
        CaptureCounters::add(counters_.rtp_rejected, 1);
        return false;
    }
    const RtpSequence::Verdict verdict = sequence_.take(rtp->sequence);
    counters_.rtp_lost.store(sequence_.lost(), std::memory_order_relaxed);
    if (verdict == RtpSequence::LATE) CaptureCounters::add(counters_.rtp_late, 1);
    if (verdict == RtpSequence::DUPLICATE) {
        CaptureCounters::add(counters_.rtp_duplicates, 1);
        return false;
    }
    data += rtp->header_length;
    length = rtp->payload_length;
    return true;
}

}  // namespace Corvid::Capture
