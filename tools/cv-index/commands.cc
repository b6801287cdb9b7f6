#include "tools/cv-index/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <ostream>
#include <vector>

#include "capture/index_set.h"
#include "gantry/channel/error.h"
#include "gantry/channel/fd.h"
#include "index2/index_reader.h"

namespace Corvid::Tools {

namespace {

using Index2::Block;
using Index2::IndexReader;

// One datagram of a capture: seven transport packets.
constexpr size_t kChunk = 1316;

std::string system_error(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

class File {
  public:
    File(const std::string& path, int flags, mode_t mode = 0644)
        : fd_(::open(path.c_str(), flags | O_CLOEXEC, mode)) {
        if (fd_ < 0) throw CommandError(system_error("cannot open", path));
    }
    ~File() { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd() const { return fd_; }
    uint64_t size() const {
        struct stat st;
        return ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }

  private:
    int fd_;
};

std::unique_ptr<IndexReader> open_index(const std::string& path) {
    auto reader = std::make_unique<IndexReader>(path);
    if (!reader->valid()) {
        if (::access(path.c_str(), R_OK) != 0)
            throw CommandError(system_error("cannot open", path));
        throw CommandError("cannot use " + path);
    }
    return reader;
}

// Every whole block after the header, in file order.
template <typename F>
void for_each_block(const std::string& path, F f) {
    File file(path, O_RDONLY);
    Gantry::Channel::FDReader in(file.fd());
    Index2::Header header;
    try {
        header.read(in);
    } catch (const Gantry::Channel::Error& error) {
        throw CommandError(path + " is not a valid CVI2 index: " + error.text());
    }
    if (header.block_size < Index2::kBlockFieldBytes)
        throw CommandError(path + ": block size " + std::to_string(header.block_size) +
                           " is too small");
    const uint64_t size = file.size();
    Block block;
    block.block_size = header.block_size;
    uint64_t position = header.header_size;
    try {
        for (; position + header.block_size <= size; position += header.block_size) {
            block.read(in);
            if (!f(header, block, position)) return;
        }
    } catch (const Gantry::Channel::Error& error) {
        throw CommandError(path + ": block at " + std::to_string(position) + ": " + error.text());
    }
}

}  // namespace

void build_index(const std::string& stream_path, const std::string& index_path) {
    File input(stream_path, O_RDONLY);
    IndexGen::IndexSet set;
    if (!set.create(index_path, 0, -1.0))
        throw CommandError(system_error("cannot create", index_path));
    // Large reads, fed in datagram-sized chunks as the capture thread does.
    std::vector<uint8_t> buffer(kChunk * 800);
    for (;;) {
        ssize_t got = ::read(input.fd(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            throw CommandError(system_error("cannot read", stream_path));
        }
        if (got == 0) break;
        try {
            for (size_t at = 0; at < static_cast<size_t>(got); at += kChunk)
                set.feed(buffer.data() + at, std::min(kChunk, static_cast<size_t>(got) - at));
        } catch (const Gantry::Channel::Error& error) {
            throw CommandError("Error writing index: " + std::string(error.what()));
        }
    }
    set.close();
}

void dump_index(const std::string& index_path, bool show_data, std::ostream& out) {
    bool first = true;
    for_each_block(index_path, [&](const Index2::Header& header, const Block& block, uint64_t) {
        if (first) header.dump(out);
        first = false;
        block.dump(out, show_data);
        return true;
    });
    if (first) {
        // Only a header: still show it.
        IndexReader reader(index_path);
        if (reader.valid()) reader.header().dump(out);
    }
}

void find_npt(const std::string& index_path, double npt, bool intra, std::ostream& out) {
    auto reader = open_index(index_path);
    uint64_t offset = 0, position = 0;
    if (!reader->find_npt(npt, intra, offset, position))
        throw CommandError("NPT " + std::to_string(npt) + " not found in " + index_path);
    out << "NPT " << std::setprecision(15) << npt << " offset " << offset << " block " << position
        << '\n';
}

void list_intra(const std::string& index_path, double interval, std::ostream& out) {
    // The reader's spacing rule, except that the first entry is listed as it is: the reader puts a
    // synthetic (0, 0) pair in its place, which would hide an entry at NPT 0.
    out << std::setprecision(15);
    bool first = true;
    double threshold = 0;
    for_each_block(index_path, [&](const Index2::Header&, const Block& block, uint64_t) {
        if (!block.has(Index2::kFlagIntra)) return true;
        if (first || block.npt > threshold + interval) {
            out << "NPT " << block.npt << " offset " << block.offset << '\n';
            if (!first) threshold += interval;
            first = false;
        }
        return true;
    });
}

void print_bit_rate(const std::string& index_path, std::ostream& out) {
    auto reader = open_index(index_path);
    int32_t rate = reader->bit_rate();
    if (rate <= 0) throw CommandError("no bit rate: " + index_path + " has no NPT");
    out << rate << " bit/s\n";
}

void extract_entry(const std::string& stream_path, const std::string& index_path, uint64_t n,
                   const std::string& out_path) {
    std::vector<Block> entry;
    uint64_t seen = 0;
    for_each_block(index_path, [&](const Index2::Header&, const Block& block, uint64_t position) {
        if (entry.empty()) {
            if (block.count == 0 || block.index != 0) return true;
            if (seen++ != n) return true;
        } else if (block.index != entry.size() || block.count != entry.front().count) {
            throw CommandError(index_path + ": entry " + std::to_string(n) +
                               " is broken at block " + std::to_string(position));
        }
        entry.push_back(block);
        return entry.size() < entry.front().count;
    });
    if (entry.empty())
        throw CommandError(index_path + " has " + std::to_string(seen) + " entries, no entry " +
                           std::to_string(n));
    if (entry.size() != entry.front().count)
        throw CommandError(index_path + ": entry " + std::to_string(n) + " is incomplete");

    File input(stream_path, O_RDONLY);
    const uint64_t stream_size = input.size();
    std::string data;
    for (const Block& block : entry) {
        data += block.data;
        if (!block.has(Index2::kFlagRef) || block.ref_length == 0) continue;
        if (block.ref_offset > stream_size || block.ref_length > stream_size - block.ref_offset)
            throw CommandError("entry " + std::to_string(n) + " refers to bytes " +
                               std::to_string(block.ref_offset) + "+" +
                               std::to_string(block.ref_length) + " beyond the end of " +
                               stream_path);
        size_t at = data.size();
        data.resize(at + block.ref_length);
        size_t done = 0;
        while (done < block.ref_length) {
            ssize_t got = ::pread(input.fd(), data.data() + at + done, block.ref_length - done,
                                  static_cast<off_t>(block.ref_offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) throw CommandError(system_error("cannot read", stream_path));
            done += static_cast<size_t>(got);
        }
    }
    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    if (!out) throw CommandError(system_error("cannot create", out_path));
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) throw CommandError(system_error("cannot write", out_path));
}

}  // namespace Corvid::Tools
