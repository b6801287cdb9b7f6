// Takes the transport stream out of RTP datagrams (RFC 3550 carrying RFC 2250's MPEG-2 transport
// stream, payload type 33) and counts the datagrams lost on the way from their sequence numbers.
//
// In "auto" mode each datagram is judged alone: it is RTP when its first byte is not the sync byte
// but, after a version 2 header of payload type 33 skipped by its real length (CSRCs, extension,
// padding), whole 188-byte packets follow, each starting with the sync byte. A bare stream's
// datagram starts with the sync byte, so it is never taken for RTP. In "yes" mode every datagram
// must carry an RTP header (any payload type); those that do not are dropped and counted.
//
// Used by one capture thread; it writes the RTP counters, which are read elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "capture/capture_counters.h"
#include "capture/source_settings.h"

namespace Corvid::Capture {

struct RtpPacket {
    size_t header_length;   // fixed header, CSRCs and extension
    size_t payload_length;  // without padding
    uint16_t sequence;
    uint8_t payload_type;
};

// The header of a version 2 RTP datagram, or nothing if the lengths do not add up.
std::optional<RtpPacket> parse_rtp(const uint8_t* data, size_t length);

// The receiver side of RFC 3550's sequence accounting: lost is what was expected up to the highest
// number seen, less what arrived. A jump forward counts the numbers skipped, a wrap at 65,536
// carries on, a late datagram within the last 64 numbers fills its gap (and is counted late), and
// one already seen is a duplicate. A jump of 3,000 or more is taken as a restarted sender once a
// second datagram follows on from it, and counts no loss.
class RtpSequence {
  public:
    enum Verdict { NEXT, LATE, DUPLICATE, STRAY };

    Verdict take(uint16_t sequence);
    uint64_t lost() const { return lost_; }

  private:
    static constexpr unsigned max_dropout = 3000;
    static constexpr unsigned window = 64;

    bool started_ = false;
    uint16_t highest_ = 0;
    uint64_t seen_ = 0;   // bit n: highest_ - n has arrived
    unsigned known_ = 0;  // how many numbers below and at highest_ the window covers
    uint64_t lost_ = 0;
    std::optional<uint16_t> restart_;  // the number that would confirm a restarted sender
};

class RtpUnwrapper {
  public:
    RtpUnwrapper(RtpMode mode, CaptureCounters& counters) : mode_(mode), counters_(counters) {}

    // Narrows the datagram to its transport stream; false if it is to be dropped (a duplicate, or
    // not RTP in "yes" mode).
    bool unwrap(const uint8_t*& data, size_t& length) {
        if (mode_ == RtpMode::NO || (mode_ == RtpMode::AUTO && length > 0 && data[0] == 0x47))
            return true;
        return unwrap_rtp(data, length);
    }

  private:
    bool unwrap_rtp(const uint8_t*& data, size_t& length);

    const RtpMode mode_;
    CaptureCounters& counters_;
    RtpSequence sequence_;
};

}  // namespace Corvid::Capture
