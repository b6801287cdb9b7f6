#include "gantry/init/init.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Init = Gantry::Init;

namespace {

using Log = std::vector<std::string>;

// An action that calls a function when initialised.
template <class Base = Init::Action>
struct Step : Base {
    Step(int rank, std::function<void()> body) : Base(rank), body(std::move(body)) {}
    void initialise() override { body(); }
    std::function<void()> body;
};

TEST(Sequence, RunsByRankStablyAndEachActionOnlyOnce) {
    Log log;
    Init::Sequence sequence;
    Step<> late(-9, [&] { log.push_back("late"); });
    // late, added while the sequence runs (it would deadlock were the list locked meanwhile),
    // runs in the same call although earlier actions already ran.
    Step<> first(-2, [&] {
        log.push_back("first");
        sequence.add(&late);
    });
    sequence.add(&first);
    // Enough equal ranks that an unstable sort reorders them.
    std::vector<std::unique_ptr<Step<>>> actions;
    for (int i = 0; i < 40; ++i) {
        actions.push_back(
            std::make_unique<Step<>>(2 - i % 3, [&log, i] { log.push_back(std::to_string(i)); }));
        sequence.add(actions.back().get());
    }
    sequence.add(actions.front().get());
    EXPECT_EQ(sequence.size(), 41u) << "the same action twice is one registration";
    sequence.run();
    sequence.run();
    Log expected{"first", "late"};
    for (int rank = 0; rank <= 2; ++rank) {
        for (int i = 2 - rank; i < 40; i += 3)
            expected.push_back(std::to_string(i));
    }
    EXPECT_EQ(log, expected);
}

TEST(AutoAction, JoinsTheProcessSequenceAndLeavesItWhenDestroyed) {
    auto& sequence = Init::Sequence::instance();
    sequence.run();  // whatever the program registered statically
    Log log;
    {
        Step<Init::AutoAction> gone(0, [&] { log.push_back("gone"); });
    }
    Step<Init::AutoAction> kept(0, [&] { log.push_back("kept"); });
    sequence.run();  // would touch the destroyed action had it stayed registered
    EXPECT_EQ(log, (Log{"kept"}));
}

struct Animal {
    explicit Animal(std::string said) : said(std::move(said)) {}
    virtual ~Animal() = default;
    const std::string said;
};
struct Cat : Animal {
    explicit Cat(const std::string& owner) : Animal(owner + ": miaow") {}
};
struct Dog : Animal {
    explicit Dog(const std::string& owner) : Animal(owner + ": woof") {}
};

using Animals = Init::Registry<Animal, const std::string&>;

// Two static registrations under one name in one translation unit: constructed, and therefore
// run, in declaration order, so the second replaces the first.
Animals pets;
Init::AutoRegister<Animal, Cat, const std::string&> cat_registration(pets, "pet");
Init::AutoRegister<Animal, Dog, const std::string&> dog_registration(pets, "pet");
Init::AutoRegister<Animal, Cat, const std::string&> cat_by_name(pets, "cat");

TEST(AutoRegister, StaticRegistrationsEnterTheRegistryWhenTheSequenceRunsAndTheLastWins) {
    Init::Sequence::instance().run();
    ASSERT_TRUE(pets.contains("pet") && pets.contains("cat"));
    EXPECT_EQ(pets.size(), 2u);
    EXPECT_EQ(pets.create("pet", "ann")->said, "ann: woof");
    EXPECT_EQ(pets.create("cat", "cy")->said, "cy: miaow");
    EXPECT_EQ(pets.create("unicorn", "cy"), nullptr);
    EXPECT_EQ(pets.size(), 2u) << "an unknown name adds nothing";
}

}  // namespace
