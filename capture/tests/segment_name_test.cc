#include "capture/segment_name.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Stamp;

TEST(SegmentName, NamesTimesAndMatching) {
    SegmentNaming news{"/data/news/", "ch1", ".ts", ".cvi"};
    EXPECT_EQ(news.file_name(Stamp("2008-05-17T14:00:00.75Z")),
              "/data/news/ch1.2008_05_17.14_00_00.ts");
    const Stamp t("1999-12-31T23:59:58Z");
    for (const char* prefix : {"", "rec-", "/data/news/", "a/b/x_"}) {
        SegmentNaming naming{prefix, "ch.1", ".mpg", ""};
        const std::string name = naming.file_name(t);
        EXPECT_EQ(naming.time_of(name), t) << prefix;
        // Listed in the directory as its leaf, which path_of turns back into the name.
        EXPECT_EQ(naming.path_of(name.substr(name.rfind('/') + 1)), name) << prefix;
    }
    Testing::LogCapture log;
    SegmentNaming naming{"/d/p-", "ch1", ".ts", ""};
    EXPECT_FALSE(naming.time_of("/d/p-ch1.2008_05_17").valid());
    EXPECT_FALSE(naming.time_of("p-ch").valid());
    // Two parts, but no date and time in them: no line, and no time either.
    EXPECT_FALSE(naming.time_of("p-ch1.2008_13_17.14_00_00.ts").valid());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"1 Bad format filename: /d/p-ch1.2008_05_17",
                                                     "1 Bad format filename: p-ch"}));

    const SegmentNaming here{"x-", "ch1", ".ts", ""};
    EXPECT_EQ(news.directory() + here.directory(), "/data/news.");
    EXPECT_FALSE(news.matches("ch10.2008_05_17.14_00_00.ts"));
    EXPECT_TRUE(here.matches("x-ch1..ts"));
    EXPECT_FALSE(here.matches("x-ch1.ts") || here.matches("ch1.2008_05_17.14_00_00.ts"));
}

}  // namespace
}  // namespace Corvid::Capture
