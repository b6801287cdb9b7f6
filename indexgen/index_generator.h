// The pipe that turns one programme's transport stream into index entries: it keeps the normal
// play time (NPT) from the PCR, finds the video stream through the PAT and PMT, keeps the PSI and
// conditional-access packets, lets a video parser mark the intra pictures, edits their packets so
// that each picture plays on its own, and hands every video packet to an IndexWriter.
//
// A generator belongs to one capture and is used by its capture thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "indexgen/conditional_access.h"
#include "indexgen/packet_record.h"
#include "indexgen/parser.h"
#include "indexgen/ts_pipe.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"

namespace Corvid::IndexGen {

class IndexWriter;

class IndexGenerator final : public TSPipe {
  public:
    enum VideoType : uint32_t { no_video = 0, mpeg2_video = 1, h264_video = 2 };

    // The PCR period: 2^33 ticks of 90 kHz (with the 27 MHz extension), in seconds.
    static constexpr double pcr_wrap = 95443.71765555555;
    // A PCR that moves further than this from the one before, either way, starts a new clock (an
    // encoder restart or a splice): the NPT goes on from where it was.
    static constexpr double max_pcr_step = 5.0;
    // Video records queued at most while one PES packet waits for the next to begin; beyond that
    // (a stream whose video never starts another PES packet) the oldest records are dropped.
    static constexpr size_t max_queued_records = 50000;

    // writer is not owned and must outlive the generator. A negative base_pcr means that the first
    // PCR of the programme becomes NPT 0; a saved base continues the NPT of an earlier run. Only
    // the PCR PID that the programme's PMT names sets the NPT: there is none before that PMT.
    IndexGenerator(IndexWriter& writer, double base_pcr);
    ~IndexGenerator() override;

    void process(const MPEG::TSPacket& packet) override;
    // Video records take the payload's storage instead of copying it.
    void process_and_take(MPEG::TSPacket& packet) override;

    // The PCR that is NPT 0 on the current clock; it moves when a new clock starts, so that a run
    // resumed with it continues the NPT.
    double base_pcr() const { return base_pcr_; }
    double npt() const { return npt_; }
    uint32_t intra_count() const { return intra_count_; }
    uint32_t video_type() const { return video_type_; }
    uint16_t video_pid() const { return video_pid_; }
    uint16_t pmt_pid() const { return pmt_pid_; }
    // no_pid until the programme's PMT names one.
    uint16_t pcr_pid() const { return pcr_pid_; }
    static constexpr uint16_t no_pid = 0xFFFF;
    uint16_t ca_pid() const { return ca_.ca_pid(); }
    uint64_t first_pcr_offset() const { return first_pcr_offset_; }
    uint64_t last_pcr_offset() const { return last_pcr_offset_; }
    // Video records waiting for their PES packet to complete.
    size_t queued() const { return queue_.size() - head_; }
    // Whether the PSI and CA packets are stored with every intra entry (default true).
    void set_include_psi(bool include) { include_psi_ = include; }

    static const char* video_type_name(uint32_t type);

  private:
    void update_npt(const MPEG::TSPacket& packet);
    void handle_pat(const MPEG::TSPacket& packet);
    void handle_pmt(const MPEG::TSPacket& packet);
    // takeable: the same packet, if its payload's storage may be taken.
    void dispatch(const MPEG::TSPacket& packet, MPEG::TSPacket* takeable);
    void queue_video(const MPEG::TSPacket& packet, MPEG::TSPacket* takeable);
    // Classifies, trims and emits the oldest complete PES packet; false if there is none yet.
    bool flush();
    void emit_headers(PacketRecord& record);
    PacketRecord& new_record(const MPEG::TSPacket& packet, MPEG::TSPacket* takeable);
    void recycle_front();
    PacketRecord* front() const { return queue_[head_]; }

    IndexWriter& writer_;
    bool include_psi_ = true;
    // Queued records are queue_[head_..]; the slots before head_ are spent and are dropped when
    // the queue empties (after nearly every flush) or grows long.
    std::vector<PacketRecord*> queue_;
    size_t head_ = 0;
    std::deque<PacketRecord> records_;  // every record ever made, reused; addresses stay put
    std::vector<PacketRecord*> free_;
    uint32_t header_counter_ = 0;
    bool in_intra_ = false;
    uint16_t program_number_ = 0;
    uint16_t pmt_pid_ = 0;
    uint16_t pcr_pid_ = no_pid;
    uint16_t video_pid_ = 0;
    uint32_t video_type_ = no_video;
    MPEG::PATReader pat_reader_;
    std::vector<uint8_t> pat_packets_;
    MPEG::PMTReader pmt_reader_;
    std::vector<uint8_t> pmt_packets_;
    CAPackets ca_;
    std::string header_;
    std::unique_ptr<Parser> parser_;
    uint32_t intra_count_ = 0;
    double base_pcr_;
    double npt_ = -1.0;
    // The current clock: its first PCR, the NPT there and the PCR wraps since; the last PCR seen.
    double clock_pcr_ = 0.0;
    double clock_npt_ = 0.0;
    int64_t clock_wraps_ = 0;
    double last_pcr_ = -1.0;
    bool new_clock_ = false;  // a discontinuity indicator on the PCR PID awaits its PCR
    uint64_t last_pcr_offset_ = 0;
    uint64_t first_pcr_offset_ = 0;
    bool queue_overflow_logged_ = false;
    size_t pes_starts_ = 0;  // queued records that begin a PES packet
};

}  // namespace Corvid::IndexGen
