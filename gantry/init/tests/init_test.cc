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
    // late, added while the sequence runs (it would deadlock were the list locked meanwhile),
    // runs in the same call although earlier actions already ran.
    Step<> first(-2, [&] {
        log += "first ";
        sequence.add(&late);
    });
    sequence.add(&first);
    // Enough equal ranks that an unstable sort reorders them.
    std::deque<Step<>> actions;
    std::string expected[3];
    for (int i = 0; i < 40; ++i) {
        actions.emplace_back(i % 3, [&log, i] { log += std::to_string(i) + " "; });
        sequence.add(&actions.back());
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

// Two static registrations under one name in one translation unit: constructed, and therefore
// run, in declaration order, so the second replaces the first.
static Init::AutoRegister<Shape, Shape, const std::string&> plain_first(shapes, "pet");
static Init::AutoRegister<Shape, Circle, const std::string&> circle_last(shapes, "pet");

namespace {

// The square registers from the library, which the program links whole: an ordinary link would
// drop its object file, which nothing here refers to.
// An AutoAction leaves the process sequence when destroyed, or running it would touch a dead one.
TEST(AutoRegister, StaticRegistrationsEnterTheRegistryWhenTheSequenceRunsAndTheLastWins) {
    std::string log;
    {
        Step<Init::AutoAction> gone(0, [&] { log += "gone"; });
    }
    Step<Init::AutoAction> kept(0, [&] { log += "kept"; });
    Init::Sequence::instance().run();
    EXPECT_EQ(log, "kept");
    EXPECT_EQ(shapes.size(), 2u);
    EXPECT_EQ(shapes.create("pet", "ann")->said, "ann: circle");
    ASSERT_TRUE(shapes.contains("square")) << "the whole-archive link kept no registration";
    EXPECT_EQ(shapes.create("square", "cy")->said, "cy: square");
}

}  // namespace
