// Packet consumers, and the pipeline that cuts a capture's bytes into packets for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mpeg/ts_packet.h"

namespace Corvid::IndexGen {

// Something that is given transport stream packets one at a time, in stream order. The pipes it
// passes packets on to are not owned and must outlive it.
//
// A pipe belongs to one capture and is used by its capture thread only.
class TSPipe {
  public:
    virtual ~TSPipe();

    // The packet (and its payload) is valid only during the call; a pipe that keeps it copies it.
    virtual void process(const MPEG::TSPacket& packet) = 0;

    // The same, for the last pipe of a pipeline, which may also take the payload's storage: a
    // pipe that keeps the packet swaps the payload with a vector of its own (of any content)
    // instead of copying it. The caller fills the packet afresh before using it again.
    virtual void process_and_take(MPEG::TSPacket& packet) { process(packet); }

    void add_pipe(TSPipe& pipe) { pipes_.push_back(&pipe); }
    const std::vector<TSPipe*>& pipes() const { return pipes_; }

  protected:
    TSPipe() = default;
    TSPipe(const TSPipe&) = delete;
    TSPipe& operator=(const TSPipe&) = delete;

    std::vector<TSPipe*> pipes_;
};

// Turns received bytes, in chunks of any size, into packets for its pipes, each with offset = the
// stream position of its sync byte (counted from the offset given at construction, normally the
// size the segment file had when the pipeline was made).
//
// Synchronisation: at the start, and right after each packet, a sync byte where the next packet
// should begin is trusted. Anywhere else (after garbage, a lost sync byte or a packet that was cut
// short) a 0x47 is taken as a packet start only if another one follows 188 bytes later, and when
// the sync byte expected after a packet is missing the search starts again just after that
// packet's own sync byte, so that a packet cut short does not swallow the one after it. Every
// decision depends on the bytes alone, never on how they were chunked: a packet waits in the
// buffer until the bytes it needs have arrived.
class TSPipeline final : public TSPipe {
  public:
    explicit TSPipeline(uint64_t offset = 0);
    ~TSPipeline() override;

    // Gives the packet to every pipe in the order they were added.
    void process(const MPEG::TSPacket& packet) override;

    // Appends bytes and emits every packet they complete. An exception from a pipe (for example
    // Channel::Error from the index writer) propagates after the pipeline has settled: the
    // packet that raised it counts as passed, the bytes after it stay buffered for the next call.
    void feed(const uint8_t* data, size_t length);
    void feed(const void* data, size_t length) { feed(static_cast<const uint8_t*>(data), length); }

    // Stream position of the next byte to examine (after the last packet emitted, when in step).
    uint64_t position() const { return next_; }
    // Bytes held back, waiting for more data or kept for a search after a lost sync byte.
    size_t buffered() const { return buffer_.size(); }

  private:
    // Emits packets from data, which holds the stream bytes [base, base + size); returns when
    // the next decision needs bytes past the end.
    void scan(const uint8_t* data, size_t size, uint64_t base);
    // Keeps the bytes of [base, base + size) that a later decision may still look at.
    void keep_tail(const uint8_t* data, size_t size, uint64_t base);
    // Hands packet_ to the pipes, the last of them allowed to take its payload.
    void emit();

    std::vector<uint8_t> buffer_;  // stream bytes [buffer_offset_, buffer_offset_ + size)
    uint64_t buffer_offset_;
    uint64_t next_;          // next stream position to examine
    bool in_step_ = true;    // a sync byte is expected at next_
    uint64_t search_from_;   // where to search if the sync byte at next_ is missing
    MPEG::TSPacket packet_;  // reused for every packet: no allocation per packet
};

}  // namespace Corvid::IndexGen
