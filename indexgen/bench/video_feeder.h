// Test, benchmark and fuzz helper: the part of an index generator that the parsers see. It makes
// a record for each packet of one PID (reading the PES header of a packet that starts a PES
// packet, as the generator does), gives it to a parser, and hands every record back, in stream
// order, once the parser has released it. Records are recycled, so a warmed-up feeder does not
// allocate.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "gantry/channel/block.h"
#include "indexgen/indexgen.h"

namespace Corvid::IndexGen::Testing {

struct FedRecord {
    PacketRecord record;
    uint64_t pes_offset = 0;  // stream offset of the packet that started its PES packet
    bool pes_read = false;    // its PES header was read completely
};

class VideoFeeder final : public TSPipe {
  public:
    using Sink = std::function<void(const FedRecord&)>;

    // Feeds packets of pid (all packets if pid is above 0x1FFF) to parser.
    VideoFeeder(uint16_t pid, Parser& parser, Sink sink = {})
        : pid_(pid), parser_(parser), sink_(std::move(sink)) {}

    void process(const MPEG::TSPacket& packet) override {
        if (pid_ <= 0x1FFF && packet.pid != pid_) return;
        FedRecord* fed = take();
        fed->record.reset(packet);
        if (packet.payload_unit_start) {
            Gantry::Channel::BlockReader reader(packet.payload.data(), packet.payload.size());
            int32_t remaining = 0;
            fed->record.pes.pts = fed->record.pes.dts = -1.0;
            fed->pes_read = read_pes_header(reader, fed->record.pes, remaining);
            fed->record.es_offset = static_cast<uint32_t>(reader.offset());
            pes_offset_ = packet.offset;
        } else {
            fed->pes_read = false;
        }
        fed->pes_offset = pes_offset_;
        live_.push_back(fed);
        parser_.process(fed->record);
        ++records_;
        while (head_ < live_.size() && live_[head_]->record.state == PacketRecord::released)
            hand_over();
    }

    // Hands over the records the parser still holds (as at the end of a stream).
    void finish() {
        while (head_ < live_.size())
            hand_over();
    }

    uint64_t records() const { return records_; }
    // Records the parser holds now.
    size_t held() const {
        return static_cast<size_t>(std::count_if(
            live_.begin() + static_cast<ptrdiff_t>(head_), live_.end(),
            [](const FedRecord* fed) { return fed->record.state == PacketRecord::held; }));
    }

  private:
    // The records not yet handed over are live_[head_...], in stream order; the vector is
    // compacted in place, so it grows only while the parser holds more.
    void hand_over() {
        FedRecord* fed = live_[head_++];
        if (sink_) sink_(*fed);
        free_.push_back(fed);
        if (head_ == live_.size() || head_ >= 64) {
            live_.erase(live_.begin(), live_.begin() + static_cast<ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    FedRecord* take() {
        if (free_.empty()) {
            pool_.push_back(std::make_unique<FedRecord>());
            return pool_.back().get();
        }
        FedRecord* fed = free_.back();
        free_.pop_back();
        return fed;
    }

    uint16_t pid_;
    Parser& parser_;
    Sink sink_;
    uint64_t pes_offset_ = 0;
    uint64_t records_ = 0;
    std::vector<std::unique_ptr<FedRecord>> pool_;
    std::vector<FedRecord*> free_;
    std::vector<FedRecord*> live_;
    size_t head_ = 0;
};

}  // namespace Corvid::IndexGen::Testing
