// Arbitrary bytes through TSPipeline::feed, in chunks whose size the first input byte chooses,
// into a stub pipe that hands every packet to both video parsers (each as if it were the video
// PID), edits the PES header of every packet that starts one, and feeds PID 1 and PID 0x20 to the
// conditional-access packets. Checks what must hold for any input: packets lie on a sync byte
// inside the input, in increasing order, marks lie inside their payloads, and a parser never
// holds more than three records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "gantry/channel/block.h"
#include "indexgen/indexgen.h"
#include "indexgen/bench/video_feeder.h"

namespace {

using namespace Corvid::IndexGen;

void check(bool ok) {
    if (!ok) std::abort();
}

class StubPipe final : public TSPipe {
  public:
    StubPipe(const uint8_t* input, size_t size)
        : input_(input),
          size_(size),
          mpeg2_(0x2000, mpeg2_parser_, check_record),
          h264_(0x2000, h264_parser_, check_record) {
        ca_.set_ca_pid(0x20);
    }

    void process(const Corvid::MPEG::TSPacket& packet) override {
        check(packet.offset + 188 <= size_ && input_[packet.offset] == 0x47);
        check(first_ || packet.offset > last_offset_);
        first_ = false;
        last_offset_ = packet.offset;
        check(packet.payload.size() <= 184);

        if (packet.pid == 1) ca_.handle_cat(packet);
        if (packet.pid == ca_.ca_pid()) ca_.handle_ca(packet);
        mpeg2_.process(packet);
        h264_.process(packet);
        check(mpeg2_.held() <= 2 && h264_.held() <= 3);

        record_.reset(packet);
        if (packet.payload_unit_start) {
            Gantry::Channel::BlockReader reader(record_.packet.payload.data(),
                                                record_.packet.payload.size());
            int32_t remaining = 0;
            read_pes_header(reader, record_.pes, remaining);
            record_.es_offset = static_cast<uint32_t>(reader.offset());
            check(record_.es_offset <= record_.packet.payload.size());
        }
        clear_pts_dts(record_);
        record_.packet.pcr = 1.5;
        insert_pts(record_);
        check(record_.packet.payload.size() <= 189);
        set_pes_length(record_, record_.packet.payload.size());
        if (packet.payload_unit_start && packet.pid == 0x21) {
            uint32_t counter = 0;
            const std::string header(record_.packet.payload.begin(), record_.packet.payload.end());
            check(make_video_header_packets(header, packet.pid, 2.0, counter).size() % 188 == 0);
        }
    }

  private:
    static void check_record(const Testing::FedRecord& fed) {
        const auto& record = fed.record;
        for (const FrameMark& mark : record.marks)
            check(mark.offset >= 0 && static_cast<size_t>(mark.offset) <
                                          std::max<size_t>(record.packet.payload.size(), 1));
        check(record.state != PacketRecord::held);
    }

    const uint8_t* input_;
    size_t size_;
    bool first_ = true;
    uint64_t last_offset_ = 0;
    MPEG2Parser mpeg2_parser_;
    H264Parser h264_parser_;
    Testing::VideoFeeder mpeg2_;
    Testing::VideoFeeder h264_;
    CAPackets ca_;
    PacketRecord record_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = 1 + static_cast<size_t>(data[0]) * 7;
    ++data;
    --size;
    StubPipe pipe(data, size);
    TSPipeline pipeline;
    pipeline.add_pipe(pipe);
    for (size_t at = 0; at < size; at += chunk)
        pipeline.feed(data + at, std::min(chunk, size - at));
    return 0;
}
