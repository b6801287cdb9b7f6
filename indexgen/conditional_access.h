// The conditional-access packets kept for a scrambled programme: the CAT (PID 1), re-emitted from
// its latest complete section, and the latest packet of the CA PID named by the PMT (typically the
// current ECM), so that every stored intra picture carries what a descrambler needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "mpeg/cat.h"
#include "mpeg/section.h"
#include "mpeg/ts_packet.h"

namespace Corvid::IndexGen {

// CA_PID of a CA descriptor (tag 9: CA_system_id, then 3 reserved bits and the PID, then any
// private data), or nothing if the descriptor is not one.
std::optional<uint16_t> ca_pid_of(const MPEG::Descriptor& descriptor);
// The CA_PID of the first CA descriptor in the list.
std::optional<uint16_t> find_ca_pid(const MPEG::DescriptorList& descriptors);

// Owned by an index generator and used by its capture thread only.
class CAPackets {
  public:
    // 0 until the PMT names one.
    uint16_t ca_pid() const { return ca_pid_; }
    void set_ca_pid(uint16_t pid) { ca_pid_ = pid; }

    // Whole transport packets, ready to be stored with an intra entry (empty until known).
    const std::string& cat_packets() const { return cat_packets_; }
    const std::string& ca_packets() const { return ca_packets_; }

    // A packet of PID 1. Logs "Found CAT" when the first one arrives; every complete CAT section
    // with current_next set replaces the CAT packets, re-emitted with this packet as template.
    void handle_cat(const MPEG::TSPacket& packet);
    // A packet of the CA PID: it becomes the CA packets, unchanged (its own continuity counter).
    // Logs "Capturing CA data from PID: " with the PID for the first one.
    void handle_ca(const MPEG::TSPacket& packet);

  private:
    uint16_t ca_pid_ = 0;
    MPEG::CATReader cat_reader_;
    MPEG::CAT cat_;
    std::vector<uint8_t> section_;
    std::string cat_packets_;
    std::string ca_packets_;
    bool cat_seen_ = false;
};

}  // namespace Corvid::IndexGen
