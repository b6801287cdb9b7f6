#include "capture/index_set.h"

namespace Corvid::IndexGen {

IndexSet::IndexSet() = default;

IndexSet::~IndexSet() {
    close();
}

bool IndexSet::create(const std::string& path, uint64_t start_offset, double base_pcr) {
    close();
    auto writer = std::make_unique<Index2::IndexWriter>(Index2::kDefaultBlockSize, 0);
    if (writer->open(path, start_offset != 0) != 0) return false;
    writer_ = std::move(writer);
    generator_ = std::make_unique<IndexGenerator>(*writer_, base_pcr);
    pipeline_ = std::make_unique<TSPipeline>(start_offset);
    pipeline_->add_pipe(*generator_);
    return true;
}

void IndexSet::feed(const void* data, size_t length) {
    if (length != 0 && pipeline_) pipeline_->feed(data, length);
}

void IndexSet::close() {
    // The pipeline refers to the generator and the generator to the writer: delete in that order.
    pipeline_.reset();
    generator_.reset();
    if (writer_) writer_->close();
    writer_.reset();
}

}  // namespace Corvid::IndexGen
