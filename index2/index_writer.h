// Writes the "CVI2" index of one segment file: stand-alone NPT blocks as the NPT advances, and one
// trick-play entry per intra picture (PSI packets, video header packets, the picture's changed
// packets inline and references to its unchanged ones in the segment file).
//
// Used by one capture thread only. Write failures throw Gantry::Channel::Error to the caller.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gantry/channel/stream.h"
#include "index2/block.h"
#include "index2/header.h"
#include "indexgen/index_writer.h"

namespace Corvid::Index2 {

class IndexWriter final : public IndexGen::IndexWriter {
  public:
    explicit IndexWriter(uint32_t block_size = kDefaultBlockSize, uint32_t header_flags = 0);
    ~IndexWriter() override;

    // Closes any open file, then opens path (appending when append is set, else truncating) and
    // writes the header unless an existing non-empty file is appended to. Appending first cuts a
    // partial last block, or a last entry missing blocks, off the file (a crash mid-write). Returns
    // 0, or 1 when the file cannot be opened (errno tells why; the writer stays closed).
    int open(const std::string& path, bool append);
    // Flushes and closes the file. A pending entry whose picture has not ended is discarded.
    void close();
    // Hands the finished blocks to the system (not a pending entry, which its picture's end
    // completes). Throws Gantry::Channel::Error when that fails.
    void flush();
    bool is_open() const { return writer_ != nullptr; }

    void set_psi_data(const std::string& packets) override { psi_data_ = packets; }
    void set_video_header(const std::string& packets) override { video_header_ = packets; }
    void add_packet(const IndexGen::PacketRecord& record) override;
    void add_npt(uint64_t offset, double npt) override;

  private:
    // Sets the block's NPT from a record's (0.0: unknown, keep the last), flagging NEW-NPT when
    // it moves.
    void set_npt(Block& block, double npt);
    // Appends bytes to the pending entry in pieces that fit a block; flag goes on the first.
    void cut(const std::string& bytes, const IndexGen::PacketRecord& record, uint32_t flag);
    void renumber_video_header(uint32_t counter);
    // Serialises the record's (changed) packet, as one or more 188-byte packets ending with the
    // record's continuity counter.
    void serialise(const IndexGen::PacketRecord& record);
    void write_pending();

    std::unique_ptr<std::ofstream> file_;
    std::unique_ptr<Gantry::Channel::StreamWriter> writer_;
    std::string psi_data_;
    std::string video_header_;
    uint32_t header_flags_;
    uint32_t block_size_;
    std::vector<Block> pending_;
    bool inline_ = false;    // the entry's last stored packet went inline
    bool dropping_ = false;  // the pending entry grew too long: skip to the next picture
    double last_npt_ = 0.0;
    std::string scratch_;  // serialised packets, reused
};

}  // namespace Corvid::Index2
