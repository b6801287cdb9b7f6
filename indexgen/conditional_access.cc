#include "indexgen/conditional_access.h"

#include "gantry/channel/block.h"
#include "indexgen/log.h"
#include "mpeg/section_packets.h"

namespace Corvid::IndexGen {

namespace {

constexpr uint8_t ca_descriptor_tag = 9;

}  // namespace

std::optional<uint16_t> ca_pid_of(const MPEG::Descriptor& descriptor) {
    // Private data may follow the PID: four bytes at least, not exactly four.
    if (descriptor.tag != ca_descriptor_tag || descriptor.data.size() < 4) return std::nullopt;
    return static_cast<uint16_t>((descriptor.data[2] << 8 | descriptor.data[3]) & 0x1FFF);
}

std::optional<uint16_t> find_ca_pid(const MPEG::DescriptorList& descriptors) {
    for (const MPEG::Descriptor& d : descriptors)
        if (auto pid = ca_pid_of(d)) return pid;
    return std::nullopt;
}

void CAPackets::handle_cat(const MPEG::TSPacket& packet) {
    // Once, not for every packet of a CAT that never completes.
    if (!cat_seen_ && cat_packets_.empty()) log_summary("Found CAT");
    cat_seen_ = true;
    cat_reader_.add(packet);
    for (;;) {
        const auto result = cat_reader_.read(cat_);
        if (result == MPEG::TableReader::need_more) break;
        if (result != MPEG::TableReader::complete || !cat_.header.current_next) continue;
        section_.clear();
        if (!MPEG::write_cat(cat_, section_)) continue;
        const std::vector<uint8_t> packets = MPEG::section_packets(packet, section_);
        if (!packets.empty()) cat_packets_.assign(packets.begin(), packets.end());
    }
}

void CAPackets::handle_ca(const MPEG::TSPacket& packet) {
    uint8_t buffer[MPEG::ts_packet_size];
    Gantry::Channel::BlockWriter out(buffer, sizeof buffer);
    size_t length = packet.payload.size();
    uint32_t counter = packet.continuity_counter;
    if (!MPEG::TSPacket::write(out, packet, packet.payload.data(), length, counter, true) ||
        out.offset() != sizeof buffer)
        return;
    if (ca_packets_.empty()) log_summary("Capturing CA data from PID: " + std::to_string(ca_pid_));
    ca_packets_.assign(reinterpret_cast<const char*>(buffer), sizeof buffer);
}

}  // namespace Corvid::IndexGen
