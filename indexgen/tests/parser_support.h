// Test helpers for the video parsers: records made from hand-built elementary stream bytes, and a
// bit writer for H.264 syntax.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "indexgen/indexgen.h"

namespace Corvid::IndexGen::Testing {

using Bytes = std::vector<uint8_t>;

// "00 00 01 b3" -> bytes.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (unsigned byte; in >> std::hex >> byte;)
        out.push_back(static_cast<uint8_t>(byte));
    return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Record sizes to cut a stream into: every size from first to last, then the extra ones.
inline std::vector<size_t> record_sizes(size_t first, size_t last,
                                        std::initializer_list<size_t> extra) {
    std::vector<size_t> sizes;
    for (size_t size = first; size <= last; ++size)
        sizes.push_back(size);
    sizes.insert(sizes.end(), extra);
    return sizes;
}

// A record's payload, where its elementary stream data begins (0: not a PES start) and its
// scrambling bits.
struct Record {
    Bytes payload;
    uint32_t es_offset = 0;
    uint32_t scrambling = 0;
};

// Records fed to a parser one by one; the deque keeps their addresses, as the generator's queue
// does.
class Feed {
  public:
    explicit Feed(Parser& parser) : parser_(parser) {}

    PacketRecord& add(const Bytes& payload, uint32_t es_offset = 0, uint32_t scrambling = 0) {
        PacketRecord& r = records.emplace_back();
        r.packet.payload = payload;
        r.packet.scrambling = scrambling;
        r.packet.payload_unit_start = es_offset != 0;
        r.es_offset = es_offset;
        released.push_back(parser_.process(r));
        return r;
    }

    void add(const std::vector<Record>& records) {
        for (const Record& r : records)
            add(r.payload, r.es_offset, r.scrambling);
    }

    // Cuts es into records of the given size.
    void add_split(const Bytes& es, size_t size) {
        for (size_t at = 0; at < es.size(); at += size)
            add(Bytes(es.begin() + static_cast<ptrdiff_t>(at),
                      es.begin() + static_cast<ptrdiff_t>(std::min(at + size, es.size()))));
    }

    // Every mark as (position in the concatenated payloads, is_end), in record order. A start mark
    // must fall in a record with has_header_start, and only there.
    std::vector<std::pair<size_t, bool>> marks() const {
        std::vector<std::pair<size_t, bool>> out;
        size_t base = 0;
        for (const PacketRecord& r : records) {
            bool starts = false;
            for (const FrameMark& m : r.marks) {
                out.emplace_back(base + static_cast<size_t>(m.offset), m.is_end);
                starts |= !m.is_end;
            }
            EXPECT_EQ(starts, r.has_header_start) << "record at " << base;
            base += r.packet.payload.size();
        }
        return out;
    }

    // header_data of the records where an entry starts.
    std::vector<Bytes> headers() const {
        std::vector<Bytes> out;
        for (const PacketRecord& r : records)
            if (r.has_header_start) out.emplace_back(r.header_data.begin(), r.header_data.end());
        return out;
    }

    size_t held() const {
        size_t n = 0;
        for (const auto& r : records)
            n += r.state == PacketRecord::held;
        return n;
    }

    std::deque<PacketRecord> records;
    std::vector<PacketRecord*> released;

  private:
    Parser& parser_;
};

// Writes bits most significant first; nal() adds emulation prevention and a start code.
class BitWriter {
  public:
    BitWriter& bits(uint64_t value, unsigned n) {
        for (unsigned i = n; i-- > 0;)
            bit((value >> i) & 1);
        return *this;
    }
    BitWriter& bit(bool b) {
        if (used_ == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
        used_ = (used_ + 1) % 8;
        return *this;
    }
    BitWriter& ue(uint32_t value) {
        const uint64_t v = uint64_t{value} + 1;
        unsigned n = 0;
        while ((v >> n) > 1)
            ++n;
        bits(0, n);
        return bits(v, n + 1);
    }
    BitWriter& se(int32_t value) {
        return ue(value > 0 ? static_cast<uint32_t>(2 * value - 1)
                            : static_cast<uint32_t>(-2 * int64_t{value}));
    }
    // rbsp_trailing_bits
    BitWriter& trailing() {
        bit(true);
        while (used_ != 0)
            bit(false);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

    // 00 00 01, the NAL header byte, then the escaped RBSP.
    Bytes nal(uint8_t header, bool four_byte_start = false) const {
        Bytes out = four_byte_start ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1};
        out.push_back(header);
        unsigned zeros = 0;
        for (uint8_t b : bytes_) {
            if (zeros >= 2 && b <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return out;
    }

  private:
    Bytes bytes_;
    unsigned used_ = 0;
};

}  // namespace Corvid::IndexGen::Testing
