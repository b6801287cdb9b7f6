// Counts continuity-counter gaps per PID in packet-aligned transport stream bytes: a lost
// datagram shows up here even when the network could not see it go.
//
// Used by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Corvid::Capture {

class ContinuityCheck {
  public:
    // Gaps in these bytes (whole packets; a trailing partial packet is ignored).
    uint64_t check(const uint8_t* data, size_t length) {
        uint64_t gaps = 0;
        for (size_t at = 0; at + 188 <= length; at += 188) {
            const uint8_t* p = data + at;
            if (p[0] != 0x47) continue;
            const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
            const uint8_t control = p[3] >> 4 & 3;
            if (pid == 0x1FFF || !(control & 1)) continue;  // null packets and no payload
            const uint8_t counter = p[3] & 0x0F;
            const bool discontinuity = (control & 2) && p[4] > 0 && (p[5] & 0x80);
            const uint8_t last = last_[pid];
            // One repeat of a packet is allowed.
            if (last != unknown && !discontinuity && counter != ((last + 1) & 0x0F) &&
                counter != last)
                gaps++;
            last_[pid] = counter;
        }
        return gaps;
    }

  private:
    static constexpr uint8_t unknown = 0xFF;
    std::array<uint8_t, 8192> last_ = filled();
    static constexpr std::array<uint8_t, 8192> filled() {
        std::array<uint8_t, 8192> a{};
        a.fill(unknown);
        return a;
    }
};

}  // namespace Corvid::Capture
