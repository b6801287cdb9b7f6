#include "index2/index_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "gantry/channel/block.h"
#include "gantry/channel/error.h"
#include "index2/log.h"
#include "indexgen/packet_record.h"
#include "mpeg/ts_packet.h"

namespace Corvid::Index2 {

namespace {

using IndexGen::PacketRecord;

// An entry's count and index are 16-bit.
constexpr size_t kMaxEntryBlocks = 0xFFFF;

// The record carries an end mark before its last (start) mark: it closes the picture before the
// one it begins.
bool ends_and_starts(const PacketRecord& record) {
    if (!record.starts_intra()) return false;
    for (const auto& mark : record.marks)
        if (mark.is_end) return true;
    return false;
}

// Offset of the first end mark in the payload.
int32_t first_end(const PacketRecord& record) {
    for (const auto& mark : record.marks)
        if (mark.is_end) return mark.offset;
    return -1;
}

// Cuts what a crash left half written off the end of an index: a partial block, and the blocks of
// an entry whose last block is missing. A file that cannot be opened is left to the caller.
void trim_to_whole_entries(const std::string& path, uint32_t block_size) {
    if (block_size < kBlockFieldBytes) return;  // no block fits: only a header is ever written
    const int fd = ::open(path.c_str(), O_RDWR | O_LARGEFILE | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        const auto size = static_cast<uint64_t>(st.st_size);
        uint64_t end = size - size % block_size;
        uint8_t fields[kBlockFieldBytes];
        if (end > block_size && ::pread(fd, fields, sizeof fields,
                                        static_cast<off_t>(end - block_size)) == sizeof fields) {
            const unsigned count = fields[16] << 8 | fields[17];
            const unsigned index = fields[18] << 8 | fields[19];
            if (index + 1 < count)
                end -= std::min<uint64_t>(index + 1, end / block_size - 1) * uint64_t{block_size};
        }
        // A header cut short is written again.
        if (end < block_size) end = 0;
        if (end != size && ::ftruncate(fd, static_cast<off_t>(end)) != 0)
            detail::log_line(1, "Can't trim index file " + path);
    }
    ::close(fd);
}

}  // namespace

IndexWriter::IndexWriter(uint32_t block_size, uint32_t header_flags)
    : header_flags_(header_flags), block_size_(block_size) {}

IndexWriter::~IndexWriter() {
    try {
        close();
    } catch (...) {
        // A destructor cannot report a failed flush; the capture has already logged write errors.
    }
}

int IndexWriter::open(const std::string& path, bool append) {
    close();
    if (append) trim_to_whole_entries(path, block_size_);
    auto mode = std::ios::binary | std::ios::out | (append ? std::ios::app : std::ios::trunc);
    auto file = std::make_unique<std::ofstream>(path, mode);
    if (!*file) return 1;
    file->seekp(0, std::ios::end);
    bool has_bytes = append && file->tellp() > 0;
    file_ = std::move(file);
    writer_ = std::make_unique<Gantry::Channel::StreamWriter>(*file_);
    pending_.clear();
    inline_ = false;
    dropping_ = false;
    last_npt_ = 0.0;  // the file's first NPT is new to it
    if (!has_bytes) {
        Header header;
        header.flags = header_flags_;
        header.block_size = block_size_;
        header.write(*writer_);
    }
    return 0;
}

void IndexWriter::close() {
    pending_.clear();
    writer_.reset();
    if (file_) {
        file_->close();
        file_.reset();
    }
}

void IndexWriter::flush() {
    if (file_ && !file_->flush()) throw Gantry::Channel::Error(errno, "Can't write index file");
}

void IndexWriter::set_npt(Block& block, double npt) {
    if (npt == 0.0) {
        block.npt = last_npt_;
        return;
    }
    block.npt = npt;
    if (npt != last_npt_) {
        block.flags |= kFlagNewNpt;
        last_npt_ = npt;
    }
}

void IndexWriter::cut(const std::string& bytes, const PacketRecord& record, uint32_t flag) {
    const size_t piece = block_size_ > kBlockFieldBytes ? block_size_ - kBlockFieldBytes : 0;
    if (piece == 0) return;
    for (size_t from = 0; from < bytes.size(); from += piece) {
        Block& block = pending_.emplace_back();
        block.block_size = block_size_;
        block.offset = record.packet.offset;
        block.flags = from == 0 ? flag : 0;
        set_npt(block, record.npt);
        block.data.assign(bytes, from, piece);
    }
}

void IndexWriter::add_npt(uint64_t offset, double npt) {
    if (!writer_ || npt == 0.0 || npt == last_npt_) return;
    last_npt_ = npt;
    Block block;
    block.block_size = block_size_;
    block.offset = offset;
    block.npt = npt;
    block.flags = kFlagNewNpt;
    block.write(*writer_);
}

void IndexWriter::renumber_video_header(uint32_t counter) {
    // The header packets are replayed right before the record: their counters must run up to it.
    size_t packets = video_header_.size() / kPacketSize;
    for (size_t i = packets; i-- > 0;) {
        counter = (counter + 15) & 15;
        char& byte = video_header_[i * kPacketSize + 3];
        byte = static_cast<char>((static_cast<uint8_t>(byte) & 0xF0) | counter);
    }
}

void IndexWriter::serialise(const PacketRecord& record) {
    const MPEG::TSPacket& packet = record.packet;
    const size_t total = packet.payload.size();
    // Packets after the first continue the same payload: no unit start, PCR or flags again.
    MPEG::TSPacket continuation;
    continuation.pid = packet.pid;
    continuation.scrambling = packet.scrambling;

    auto run = [&](uint32_t counter) {
        scratch_.clear();
        size_t done = 0;
        uint8_t buffer[MPEG::ts_packet_size];
        do {
            Gantry::Channel::BlockWriter out(buffer, sizeof buffer);
            size_t length = total - done;
            const MPEG::TSPacket& shape = done == 0 ? packet : continuation;
            if (!MPEG::TSPacket::write(out, shape, packet.payload.data() + done, length, counter,
                                       false)) {
                scratch_.clear();
                return;
            }
            scratch_.append(reinterpret_cast<const char*>(buffer), sizeof buffer);
            done += length;
            if (length == 0) break;
        } while (done < total);
    };
    run(record.packet.continuity_counter);
    size_t packets = scratch_.size() / kPacketSize;
    if (packets > 1) run((record.packet.continuity_counter + 16 - (packets - 1) % 16) & 15);
}

void IndexWriter::write_pending() {
    const auto count = static_cast<uint16_t>(pending_.size());
    for (uint16_t i = 0; i < count; ++i) {
        pending_[i].count = count;
        pending_[i].index = i;
        pending_[i].write(*writer_);
    }
    pending_.clear();
}

void IndexWriter::add_packet(const PacketRecord& record) {
    if (!writer_) return;
    // The rest of a dropped picture only moves the NPT on.
    if (record.state != PacketRecord::intra || (dropping_ && !record.intra_start)) {
        add_npt(record.packet.offset, record.npt);
        return;
    }
    const uint64_t offset = record.packet.offset;

    if (record.intra_start) {
        // One packet may end the previous picture and begin this one. Its end mark then closes
        // the pending entry, which must be written before the new entry replaces it; the packet
        // itself joins the old entry only if some of its bytes belong to that picture.
        if (!pending_.empty() && ends_and_starts(record)) {
            const int32_t end = first_end(record);
            if (end >= static_cast<int32_t>(record.es_offset)) {
                // The old picture's tail: the payload up to its end mark.
                PacketRecord closing = record;
                closing.intra_start = false;
                closing.marks.assign(1, {end, true});
                closing.packet.payload.resize(static_cast<size_t>(end) + 1);
                closing.modified = true;
                add_packet(closing);
            } else {
                write_pending();
            }
        }
        pending_.clear();
        dropping_ = false;
        cut(psi_data_, record, kFlagIntra);
        renumber_video_header(record.packet.continuity_counter);
        cut(video_header_, record, kFlagVideoStart);
        inline_ = true;
    }

    if (!record.modified) {
        const bool new_npt = record.npt != 0.0 && record.npt != last_npt_;
        if (!pending_.empty()) {
            Block& last = pending_.back();
            if (inline_) last.ref_offset = offset;
            last.flags |= kFlagRef;
            last.ref_length = static_cast<uint32_t>(offset - last.ref_offset + (new_npt ? 0 : 188));
        }
        if (new_npt) {
            last_npt_ = record.npt;
            Block& block = pending_.emplace_back();
            block.block_size = block_size_;
            block.offset = offset;
            block.npt = record.npt;
            block.flags = kFlagNewNpt | kFlagRef;
            block.ref_length = kPacketSize;
            block.ref_offset = offset;
        }
        inline_ = false;
    } else {
        inline_ = true;
        serialise(record);
        if (scratch_.empty()) {
            Block& block = pending_.emplace_back();
            block.block_size = block_size_;
            block.offset = offset;
            set_npt(block, record.npt);
        } else {
            cut(scratch_, record,
                record.intra_start && video_header_.empty() ? kFlagVideoStart : 0);
        }
    }

    if (pending_.size() > kMaxEntryBlocks) {
        // A picture that never ends (scrambled from its middle on, a lost start code).
        detail::log_line(
            1, "Intra entry longer than " + std::to_string(kMaxEntryBlocks) + " blocks - dropped");
        pending_.clear();
        dropping_ = true;
    } else if (record.ends_intra()) {
        write_pending();
    }
}

}  // namespace Corvid::Index2
