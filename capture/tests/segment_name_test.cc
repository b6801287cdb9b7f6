#include "capture/segment_name.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Stamp;

TEST(SegmentName, NamesRoundTripThroughTheirTime) {
    SegmentNaming news{"/data/news/", "ch1", ".ts", ".cvi"};
    EXPECT_EQ(news.file_name(Stamp("2008-05-17T14:00:00.75Z")),
              "/data/news/ch1.2008_05_17.14_00_00.ts");
    EXPECT_EQ(news.index_name("/data/news/ch1.2008_05_17.14_00_00.ts"),
              "/data/news/ch1.2008_05_17.14_00_00.ts.cvi");
    for (const char* prefix : {"", "rec-", "/data/news/", "a/b/x_"}) {
        SegmentNaming naming{prefix, "ch.1", ".mpg", ""};
        Stamp t("1999-12-31T23:59:58Z");
        EXPECT_EQ(naming.time_of(naming.file_name(t)), t) << prefix;
        // Only the leaf is read: a name found in the directory parses the same.
        std::string name = naming.file_name(t);
        EXPECT_EQ(naming.time_of(name.substr(name.rfind('/') + 1)), t) << prefix;
    }
}

TEST(SegmentName, BadNamesGiveTheNullTime) {
    SegmentNaming naming{"/d/p-", "ch1", ".ts", ""};
    Testing::LogCapture log;
    EXPECT_FALSE(naming.time_of("/d/p-ch1.2008_05_17").valid());
    EXPECT_FALSE(naming.time_of("p-ch").valid());
    EXPECT_EQ(log.errors(), (std::vector<std::string>{"Bad format filename: /d/p-ch1.2008_05_17",
                                                      "Bad format filename: p-ch"}));
    // Two parts, but not a date and a time: no log line, still no time.
    EXPECT_FALSE(naming.time_of("p-ch1.2008_13_17.14_00_00.ts").valid());
    EXPECT_FALSE(naming.time_of("p-ch1.today.now.ts").valid());
    EXPECT_EQ(log.count(), 2u);
}

TEST(SegmentName, DirectoryAndMatching) {
    struct Case {
        const char* prefix;
        const char* directory;
        const char* entry;
        bool matches;
    } cases[] = {
        {"/data/news/", "/data/news", "ch1.2008_05_17.14_00_00.ts", true},
        {"/data/news/", "/data/news", "ch1.2008_05_17.14_00_00.ts.cvi", false},
        {"/data/news/", "/data/news", "ch10.2008_05_17.14_00_00.ts", false},
        {"/data/x-", "/data", "x-ch1.2008_05_17.14_00_00.ts", true},
        {"/data/x-", "/data", "ch1.2008_05_17.14_00_00.ts", false},
        {"", ".", "ch1..ts", true},
        {"", ".", "ch1.ts", false},
        {"/", "/", "ch1.a.b.ts", true},
    };
    for (const auto& c : cases) {
        SegmentNaming naming{c.prefix, "ch1", ".ts", ".cvi"};
        EXPECT_EQ(naming.directory(), c.directory) << c.prefix;
        EXPECT_EQ(naming.matches(c.entry), c.matches) << c.prefix << " " << c.entry;
        std::string path = naming.path_of(c.entry);
        EXPECT_EQ(path.substr(0, path.size() - std::string(c.entry).size()),
                  std::string(c.prefix).substr(0, std::string(c.prefix).rfind('/') + 1));
    }
}

}  // namespace
}  // namespace Corvid::Capture
