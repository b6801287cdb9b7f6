#include <gtest/gtest.h>

#include "gantry/time/time.h"

namespace Gantry::Time {
namespace {

TEST(DurationValue, ArithmeticAndOrdering) {
    const Duration a(90), b(30);
    EXPECT_EQ((a + b).seconds(), 120);
    EXPECT_EQ((a - b).seconds(), 60);
    EXPECT_EQ((a * 2).seconds(), 180);
    EXPECT_EQ((0.5 * a).seconds(), 45);
    EXPECT_EQ((a / 4).seconds(), 22.5);
    EXPECT_EQ(a / b, 3);
    EXPECT_EQ((-a).seconds(), -90);
    EXPECT_LT(b, a);
    EXPECT_GT(a, b);
    EXPECT_EQ(Duration(90), a);
    EXPECT_NE(a, b);
    EXPECT_EQ(Duration().seconds(), 0);
}

}  // namespace
}  // namespace Gantry::Time
