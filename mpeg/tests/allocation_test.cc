// Reading packets into a reused record must not allocate: this binary counts every operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "gantry/channel/block.h"
#include "mpeg/ts_packet.h"
#include "tests/support/test_support.h"

namespace {
std::atomic<size_t> allocations{0};
}

// Both operators are replaced together, so malloc and free do pair up; GCC cannot see that once
// it inlines them into gtest's code.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace MPEG = Corvid::MPEG;

TEST(TSPacketAllocation, SteadyReadingOfARealStreamDoesNotAllocate) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    auto data = Corvid::Testing::read_file(path);
    Gantry::Channel::BlockReader reader(data.data(), data.size());
    MPEG::TSPacket packet;
    packet.payload.reserve(MPEG::ts_max_payload);
    const size_t before = allocations.load();
    size_t packets = 0;
    while (reader.remaining() >= MPEG::ts_packet_size) {
        ASSERT_TRUE(MPEG::TSPacket::read(reader, packet));
        ++packets;
    }
    EXPECT_EQ(allocations.load() - before, 0u);
    EXPECT_EQ(packets, data.size() / MPEG::ts_packet_size);
}
