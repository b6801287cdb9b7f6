// What a capture keeps per segment file while it indexes it: the index file writer, the index
// generator that feeds it and the pipeline that cuts the segment's bytes into packets for the
// generator.
//
// Used by one capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "index2/index_writer.h"
#include "indexgen/index_generator.h"
#include "indexgen/ts_pipe.h"

namespace Corvid::IndexGen {

class IndexSet {
  public:
    IndexSet();
    ~IndexSet();
    IndexSet(const IndexSet&) = delete;
    IndexSet& operator=(const IndexSet&) = delete;

    // Opens the index at path for a segment file whose next byte has stream offset start_offset.
    // A non-zero start offset means that the segment is being resumed: its index is appended to.
    // False (errno tells why) if the index file cannot be opened; the set then stays closed.
    bool create(const std::string& path, uint64_t start_offset, double base_pcr);

    // Feeds bytes written to the segment file. Throws Gantry::Channel::Error when the index cannot
    // be written; the caller then closes the set.
    void feed(const void* data, size_t length);

    // Hands what the writer has finished to the system. Throws Gantry::Channel::Error as feed does.
    void flush() {
        if (writer_) writer_->flush();
    }

    // Closes the index file and deletes the pipeline, the generator and the writer. Whatever the
    // generator still holds (the picture in progress) is not written.
    void close();

    bool is_open() const { return writer_ != nullptr; }
    // The base PCR of the generator (kept by the capture to resume a session), -1 without one.
    double base_pcr() const { return generator_ ? generator_->base_pcr() : -1.0; }

    Index2::IndexWriter* writer() const { return writer_.get(); }
    IndexGenerator* generator() const { return generator_.get(); }
    TSPipeline* pipeline() const { return pipeline_.get(); }

  private:
    std::unique_ptr<Index2::IndexWriter> writer_;
    std::unique_ptr<IndexGenerator> generator_;
    std::unique_ptr<TSPipeline> pipeline_;
};

}  // namespace Corvid::IndexGen
