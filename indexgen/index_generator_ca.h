// Stand-in for the conditional-access helper while it is being written: keeps the re-emitted CAT
// and the latest packet of the CA PID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/log/stream.h"
#include "mpeg/cat.h"
#include "mpeg/section_packets.h"
#include "mpeg/ts_packet.h"

namespace Corvid::IndexGen {

class ConditionalAccess {
  public:
    uint16_t ca_pid() const { return ca_pid_; }
    void set_ca_pid(uint16_t pid) { ca_pid_ = pid; }
    const std::string& cat_packets() const { return cat_packets_; }
    const std::string& ca_packets() const { return ca_packets_; }

    void handle_cat(const MPEG::TSPacket& packet) {
        if (cat_packets_.empty() && !cat_logged_) {
            Gantry::Log::Summary() << "Found CAT\n";
            cat_logged_ = true;
        }
        cat_reader_.add(packet);
        MPEG::CAT cat;
        for (;;) {
            auto result = cat_reader_.read(cat);
            if (result == MPEG::TableReader::need_more) break;
            if (result != MPEG::TableReader::complete || !cat.header.current_next) continue;
            std::vector<uint8_t> section;
            if (!MPEG::write_cat(cat, section)) continue;
            auto packets = MPEG::section_packets(packet, section);
            cat_packets_.assign(packets.begin(), packets.end());
        }
    }

    void handle_ca(const MPEG::TSPacket& packet) {
        uint8_t buffer[MPEG::ts_packet_size];
        Gantry::Channel::BlockWriter out(buffer, sizeof buffer);
        size_t length = packet.payload.size();
        uint32_t counter = packet.continuity_counter;
        if (!MPEG::TSPacket::write(out, packet, packet.payload.data(), length, counter, true))
            return;
        if (ca_packets_.empty())
            Gantry::Log::Summary() << "Capturing CA data from PID: " << ca_pid_ << '\n';
        ca_packets_.assign(reinterpret_cast<const char*>(buffer), sizeof buffer);
    }

  private:
    uint16_t ca_pid_ = 0;
    MPEG::CATReader cat_reader_;
    std::string cat_packets_;
    std::string ca_packets_;
    bool cat_logged_ = false;
};

}  // namespace Corvid::IndexGen
