// The sink of the index generator: where the NPT points and the trick-play entries go.
#pragma once

#include <cstdint>
#include <string>

namespace Corvid::IndexGen {

struct PacketRecord;

// The generator calls these in stream order from its capture thread; an implementation may throw
// Gantry::Channel::Error when it cannot write, which the generator lets through to the capture.
class IndexWriter {
  public:
    virtual ~IndexWriter() = default;

    // The PSI (and CA) packets that begin every following intra entry.
    virtual void set_psi_data(const std::string& packets) = 0;
    // The video header packets (H.264 parameter sets) of the next intra entry.
    virtual void set_video_header(const std::string& packets) = 0;
    // One classified video record, in stream order (state not_intra or intra).
    virtual void add_packet(const PacketRecord& record) = 0;
    // The NPT reached npt at the packet at offset.
    virtual void add_npt(uint64_t offset, double npt) = 0;

  protected:
    IndexWriter() = default;
    IndexWriter(const IndexWriter&) = delete;
    IndexWriter& operator=(const IndexWriter&) = delete;
};

}  // namespace Corvid::IndexGen
