#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>

#include "gantry/init/tests/shapes.h"

namespace Init = Gantry::Init;

namespace {

template <class Base = Init::Action>
struct Step : Base {
    Step(int rank, std::function<void()> body) : Base(rank), body(std::move(body)) {}
    void initialise() override { body(); }
    std::function<void()> body;
};

TEST(Sequence, RunsByRankStablyAndEachActionOnlyOnce) {
    std::string log;
    Init::Sequence sequence;
    Step<> late(-9, [&] { log += "late "; });
    // Added while the sequence runs (a deadlock were the list locked meanwhile), late still runs
    // in the same call although earlier actions already ran.
    Step<> first(-2, [&] { log += "first ", sequence.add(&late); });
    sequence.add(&first);
    std::deque<Step<>> actions;  // enough equal ranks that an unstable sort reorders them
    std::string expected[3];
    for (int i = 0; i < 40; ++i) {
        sequence.add(&actions.emplace_back(i % 3, [&log, i] { log += std::to_string(i) + " "; }));
        expected[i % 3] += std::to_string(i) + " ";
    }
    sequence.add(&actions.front());
    EXPECT_EQ(sequence.size(), 41u) << "the same action twice is one registration";
    sequence.run();
    sequence.run();
    EXPECT_EQ(log, "first late " + expected[0] + expected[1] + expected[2]);
}

}  // namespace

struct Circle : Shape {
    explicit Circle(const std::string& owner) : Shape(owner + ": circle") {}
};
// Constructed before the library's registrations or after: it must not matter.
Gantry::Init::Registry<Shape, const std::string&> shapes;
// Constructed, and so run, in declaration order: the second replaces the first.
static Init::AutoRegister<Shape, Shape, const std::string&> plain_first(shapes, "pet");
static Init::AutoRegister<Shape, Circle, const std::string&> circle_last(shapes, "pet");

namespace {

// An AutoAction leaves the process sequence when destroyed, or running it would touch a dead one.
TEST(AutoRegister, StaticRegistrationsEnterTheRegistryWhenTheSequenceRunsAndTheLastWins) {
    std::string log;
    {
        Step<Init::AutoAction> gone(0, [&] { log += "gone"; });
    }
    Step<Init::AutoAction> kept(0, [&] { log += "kept"; });
    Init::Sequence::instance().run();
    EXPECT_EQ(log, "kept");
    EXPECT_EQ(shapes.create("pet", "ann")->said, "ann: circle");
    ASSERT_TRUE(shapes.contains("square")) << "the whole-archive link kept no registration";
    EXPECT_EQ(shapes.create("square", "cy")->said, "cy: square");
}

}  // namespace
