#include "indexgen/index_generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "gantry/channel/block.h"
#include "gantry/log/stream.h"
#include "indexgen/h264_parser.h"
#include "indexgen/index_writer.h"
#include "indexgen/mpeg2_parser.h"
#include "indexgen/pes.h"
#include "mpeg/section_packets.h"

namespace Corvid::IndexGen {

namespace {

namespace Log = Gantry::Log;

// The NPT moves only in steps of at least this much, so PCR jitter never makes it go back.
constexpr double kMinNptStep = 0.01;

constexpr uint8_t kStreamTypeMPEG2 = 0x02;
constexpr uint8_t kStreamTypeH264 = 0x1B;

void append(std::string& out, const std::vector<uint8_t>& bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Keeps the PES header and the elementary stream bytes that belong to intra pictures: bytes before
// a start mark and after an end mark go, given whether the record begins inside a picture.
// Returns whether anything was removed.
bool trim_to_picture(PacketRecord& record, bool inside) {
    auto& payload = record.packet.payload;
    const size_t size = payload.size();
    const size_t es = std::min<size_t>(record.es_offset, size);
    size_t pos = es;    // next byte to decide on
    size_t write = es;  // where the next kept byte goes
    auto decide = [&](size_t upto, bool keep) {
        if (upto <= pos) return;
        if (keep) {
            if (write != pos)
                std::memmove(payload.data() + write, payload.data() + pos, upto - pos);
            write += upto - pos;
        }
        pos = upto;
    };
    for (const FrameMark& mark : record.marks) {
        auto at = static_cast<size_t>(std::max<int32_t>(mark.offset, 0));
        if (mark.is_end) {
            decide(std::max(std::min(at + 1, size), es), inside);
            inside = false;
        } else {
            decide(std::max(std::min(at, size), es), inside);
            inside = true;
        }
    }
    decide(size, inside);
    if (write == size) return false;
    payload.resize(write);
    return true;
}

}  // namespace

IndexGenerator::IndexGenerator(IndexWriter& writer, double base_pcr)
    : writer_(writer), base_pcr_(base_pcr) {}

IndexGenerator::~IndexGenerator() = default;

const char* IndexGenerator::video_type_name(uint32_t type) {
    switch (type) {
        case mpeg2_video:
            return "MPEG-2";
        case h264_video:
            return "H.264";
        default:
            return "Unknown";
    }
}

void IndexGenerator::process(const MPEG::TSPacket& packet) {
    dispatch(packet, nullptr);
}

void IndexGenerator::process_and_take(MPEG::TSPacket& packet) {
    dispatch(packet, &packet);
}

void IndexGenerator::dispatch(const MPEG::TSPacket& packet, MPEG::TSPacket* takeable) {
    update_npt(packet);
    const uint16_t pid = packet.pid;
    if (pid == 0) {
        handle_pat(packet);
    } else if (pid == pmt_pid_ && video_type_ == no_video) {
        handle_pmt(packet);
    } else if (pid == 1) {
        ca_.handle_cat(packet);
    } else if (pid == ca_.ca_pid() && pid != 0) {
        ca_.handle_ca(packet);
    } else if (video_type_ != no_video && pid == video_pid_) {
        queue_video(packet, takeable);
    }
}

void IndexGenerator::update_npt(const MPEG::TSPacket& packet) {
    // Other programmes of a multiplex run on clocks of their own.
    if (packet.pid != pcr_pid_) return;
    if (packet.discontinuity) new_clock_ = true;
    if (packet.pcr < 0) return;
    const double pcr = packet.pcr;
    if (last_pcr_ < 0) {
        if (base_pcr_ < 0) {
            base_pcr_ = pcr;
            first_pcr_offset_ = packet.offset;
        }
        // A resumed run's clock has moved on from its base, through one wrap at most.
        clock_pcr_ = base_pcr_;
        clock_wraps_ = pcr < base_pcr_ ? 1 : 0;
    } else {
        // Each PCR is unwrapped against the one before, so the NPT counts through any number of
        // wraps.
        double step = pcr - last_pcr_;
        int64_t wrap = 0;
        if (step < -pcr_wrap / 2)
            wrap = 1;
        else if (step > pcr_wrap / 2)
            wrap = -1;
        step += static_cast<double>(wrap) * pcr_wrap;
        if (new_clock_ || std::fabs(step) > max_pcr_step) {
            clock_pcr_ = pcr;
            clock_npt_ = npt_;
            clock_wraps_ = 0;
            base_pcr_ = std::fmod(pcr - npt_, pcr_wrap);
            if (base_pcr_ < 0) base_pcr_ += pcr_wrap;
        } else {
            clock_wraps_ += wrap;
        }
    }
    new_clock_ = false;
    last_pcr_ = pcr;
    const double clock =
        pcr - clock_pcr_ + static_cast<double>(clock_wraps_) * pcr_wrap + clock_npt_;
    // Small steps back (jitter) leave the NPT where it is until the clock catches up.
    if (clock - npt_ >= kMinNptStep) {
        npt_ = clock;
        last_pcr_offset_ = packet.offset;
    }
}

void IndexGenerator::handle_pat(const MPEG::TSPacket& packet) {
    pat_reader_.add(packet);
    MPEG::PAT pat;
    for (;;) {
        auto result = pat_reader_.read(pat);
        if (result == MPEG::TableReader::need_more) break;
        if (result != MPEG::TableReader::complete || !pat.header.current_next) continue;
        // Program 0 names the network PID, not a PMT.
        auto program = std::find_if(pat.programs.begin(), pat.programs.end(),
                                    [](const auto& entry) { return entry.first != 0; });
        if (program == pat.programs.end()) continue;
        program_number_ = program->first;
        if (program->second == pmt_pid_) continue;
        pmt_pid_ = program->second;
        MPEG::PAT reduced;
        reduced.header = pat.header;
        reduced.programs.insert(*program);
        std::vector<uint8_t> section;
        if (MPEG::write_pat(reduced, section))
            pat_packets_ = MPEG::section_packets(packet, section);
        pmt_reader_.reset();
        Log::Summary() << "PMT on PID: " << pmt_pid_ << '\n';
    }
}

void IndexGenerator::handle_pmt(const MPEG::TSPacket& packet) {
    pmt_reader_.add(packet);
    MPEG::PMT pmt;
    for (;;) {
        auto result = pmt_reader_.read(pmt);
        if (result == MPEG::TableReader::need_more) break;
        // A PMT PID may carry the maps of several programmes.
        if (result != MPEG::TableReader::complete ||
            pmt.header.table_id_extension != program_number_)
            continue;
        const uint16_t old_ca_pid = ca_.ca_pid();
        if (old_ca_pid == 0) {
            if (auto pid = find_ca_pid(pmt.descriptors)) ca_.set_ca_pid(*pid);
        }
        uint32_t type = no_video;
        uint16_t pid = 0;
        for (const auto& stream : pmt.streams) {
            if (stream.stream_type == kStreamTypeMPEG2) {
                type = mpeg2_video;
                pid = stream.pid;
            } else if (stream.stream_type == kStreamTypeH264) {
                type = h264_video;
                pid = stream.pid;
            }
        }
        if (type != no_video) {
            std::vector<uint8_t> section;
            if (MPEG::write_pmt(pmt, section))
                pmt_packets_ = MPEG::section_packets(packet, section);
            if (video_type_ == no_video) {
                video_type_ = type;
                video_pid_ = pid;
                pcr_pid_ = pmt.pcr_pid;
                Log::Summary() << "Detected " << video_type_name(type)
                               << " video stream on PID: " << pid << '\n';
                if (type == mpeg2_video)
                    parser_ = std::make_unique<MPEG2Parser>();
                else
                    parser_ = std::make_unique<H264Parser>();
            }
        }
        if (ca_.ca_pid() != old_ca_pid)
            Log::Summary() << "Found CA data for capture on PID: " << ca_.ca_pid() << '\n';
        if (video_type_ != no_video) break;  // later PMT sections change nothing
    }
}

PacketRecord& IndexGenerator::new_record(const MPEG::TSPacket& packet, MPEG::TSPacket* takeable) {
    PacketRecord* record = nullptr;
    if (free_.empty()) {
        record = &records_.emplace_back();
        // Whoever gets this storage in exchange never has to grow it for a packet.
        record->packet.payload.reserve(MPEG::ts_max_payload);
    } else {
        record = free_.back();
        free_.pop_back();
    }
    if (takeable)
        record->reset_taking(*takeable);
    else
        record->reset(packet);
    return *record;
}

void IndexGenerator::recycle_front() {
    PacketRecord* record = queue_[head_++];
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    } else if (head_ >= 4096 && head_ * 2 >= queue_.size()) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<ptrdiff_t>(head_));
        head_ = 0;
    }
    if (record->es_offset != 0) --pes_starts_;
    free_.push_back(record);
}

void IndexGenerator::queue_video(const MPEG::TSPacket& packet, MPEG::TSPacket* takeable) {
    PacketRecord& record = new_record(packet, takeable);
    record.npt = npt_ >= 0 ? npt_ : 0.0;
    if (packet.payload_unit_start) {
        Gantry::Channel::BlockReader in(record.packet.payload.data(), record.packet.payload.size());
        int32_t remaining = 0;
        if (!read_pes_header(in, record.pes, remaining))
            Log::Error() << "PES header larger than TS packet - likely to fail!\n";
        record.es_offset = static_cast<uint32_t>(in.offset());
    }
    // Stored copies never carry the live PCR or the original timestamps.
    if (record.packet.pcr >= 0) {
        record.packet.pcr = -1.0;
        record.modified = true;
    }
    if (clear_pts_dts(record)) record.modified = true;
    queue_.push_back(&record);
    if (record.es_offset != 0) ++pes_starts_;
    parser_->process(record);
    while (flush()) {
    }
    if (queued() > max_queued_records) {
        if (!queue_overflow_logged_)
            Log::Error() << "Video PES packet longer than " << max_queued_records
                         << " packets - dropping it from the index\n";
        queue_overflow_logged_ = true;
        while (queued() > max_queued_records / 2 && front()->state != PacketRecord::held)
            recycle_front();
    }
}

void IndexGenerator::emit_headers(PacketRecord& record) {
    header_.clear();
    if (include_psi_) {
        append(header_, pat_packets_);
        append(header_, pmt_packets_);
        header_ += ca_.cat_packets();
        header_ += ca_.ca_packets();
        writer_.set_psi_data(header_);
    }
    if (!record.header_data.empty()) {
        std::string packets =
            make_video_header_packets(record.header_data, video_pid_, record.npt, header_counter_);
        header_ += packets;
        writer_.set_video_header(packets);
    }
}

bool IndexGenerator::flush() {
    // Records before the first PES packet start that the parser no longer needs are of no use.
    while (queued() != 0 && front()->es_offset == 0 && front()->state == PacketRecord::released)
        recycle_front();
    if (queued() == 0) return false;
    // The PES packet at the front is complete once the next one has begun.
    if (pes_starts_ < (front()->es_offset != 0 ? 2u : 1u)) return false;
    PacketRecord* const* queue = queue_.data() + head_;
    size_t end = 1;
    while (queue[end]->es_offset == 0)
        ++end;
    for (size_t i = 0; i < end; ++i)
        if (queue[i]->state == PacketRecord::held) return false;

    PacketRecord& first = *queue[0];
    for (size_t i = 0; i < end; ++i) {
        PacketRecord& record = *queue[i];
        const bool inside = in_intra_;
        record.state =
            (!record.marks.empty() || inside) ? PacketRecord::intra : PacketRecord::not_intra;
        if (record.state == PacketRecord::intra && trim_to_picture(record, inside))
            record.modified = true;
        if (record.has_header_start) {
            first.intra_start = true;
            if (&record != &first) first.header_data = record.header_data;
            if (record.header_data.empty()) {
                // MPEG-2: the stored picture gets a clock and a timestamp of its own.
                first.packet.pcr = first.npt;
                first.modified = true;
                insert_pts(first);
            }
        }
        if (record.starts_intra())
            in_intra_ = true;
        else if (record.ends_intra())
            in_intra_ = false;
        if (i > 0 && first.state == PacketRecord::not_intra &&
            record.state == PacketRecord::intra) {
            // The picture starts later in this PES packet: keep only the first record's header.
            first.packet.payload.resize(
                std::min<size_t>(first.es_offset, first.packet.payload.size()));
            first.state = PacketRecord::intra;
            first.modified = true;
        }
    }
    uint64_t total = 0;
    for (size_t i = 0; i < end; ++i)
        if (queue[i]->state == PacketRecord::intra) total += queue[i]->packet.payload.size();
    set_pes_length(first, total);

    for (size_t i = 0; i < end; ++i) {
        PacketRecord& record = *queue[i];
        if (record.state != PacketRecord::intra && record.state != PacketRecord::not_intra) break;
        if (record.state == PacketRecord::intra && record.es_offset != 0 && record.intra_start) {
            header_counter_ = 0;
            emit_headers(record);
            if (record.header_data.empty()) {
                record.packet.discontinuity = true;
                record.modified = true;
            }
            ++intra_count_;
        }
        writer_.add_packet(record);
    }
    for (size_t i = 0; i < end; ++i)
        recycle_front();
    return true;
}

}  // namespace Corvid::IndexGen
