// The per-segment index set fed a real capture, as the capture thread feeds it.
#include <gtest/gtest.h>

#include "capture/index_set.h"
#include "gantry/channel/block.h"
#include "gantry/channel/error.h"
#include "tests/support/test_support.h"

TEST(IndexSet, NewSegmentResumedSegmentAndFailures) {
    CORVID_REQUIRE_SHARED(stream_path, "testdata/ts/video/tsduck-test-064.ts");
    const auto stream = Corvid::Testing::read_file(stream_path);
    Corvid::Testing::TempDir dir;
    Corvid::IndexGen::IndexSet set;
    const auto feed = [&] { set.feed(stream.data(), stream.size()); };
    ASSERT_TRUE(set.create(dir.file("s"), 0, -1.0));
    feed();
    const double base = set.base_pcr(), npt = set.generator()->npt();
    set.close();
    const size_t first_run = Corvid::Testing::read_file(dir.file("s")).size();
    ASSERT_TRUE(set.create(dir.file("s"), stream.size(),
                           base - 100 + Corvid::IndexGen::IndexGenerator::pcr_wrap));
    feed();
    EXPECT_NEAR(set.generator()->npt(), npt + 100, 1e-9);  // resumed: base 100 s back, wrapped
    EXPECT_FALSE(set.create(dir.file("no/such/folder/x.cvi2"), 0, -1.0) || set.is_open());
    const auto both = Corvid::Testing::read_file(dir.file("s"));
    Gantry::Channel::BlockReader appended(both.data() + first_run, 8);  // not a second header
    EXPECT_GE(appended.read_nbo_64(), stream.size());
    ASSERT_TRUE(set.create("/dev/full", 0, -1.0));  // a full disk: the caller sees the error
    EXPECT_THROW(for (int i = 0; i < 20; ++i) feed(), Gantry::Channel::Error);
}
