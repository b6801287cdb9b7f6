#include "gantry/init/init.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace Init = Gantry::Init;

namespace {

// Appends its name to a shared log when initialised.
class Logged : public Init::Action {
  public:
    Logged(std::vector<std::string>& log, std::string name, int rank)
        : Action(rank), log_(log), name_(std::move(name)) {}
    void initialise() override { log_.push_back(name_); }

  private:
    std::vector<std::string>& log_;
    std::string name_;
};

TEST(Sequence, RunsByRankKeepingRegistrationOrderAmongEqualRanks) {
    std::vector<std::string> log;
    Logged a(log, "a5", 5), b(log, "b1", 1), c(log, "c5", 5), d(log, "d0", 0), e(log, "e1", 1),
        f(log, "f-2", -2);
    Init::Sequence sequence;
    for (Init::Action* action : {&a, &b, &c, &d, &e, &f})
        sequence.add(action);
    sequence.run();
    EXPECT_EQ(log, (std::vector<std::string>{"f-2", "d0", "b1", "e1", "a5", "c5"}));
}

TEST(Sequence, RunningTwiceRunsEachActionOnceAndLaterActionsOnTheNextRun) {
    std::vector<std::string> log;
    Logged first(log, "first", 3), late(log, "late", 0);
    Init::Sequence sequence;
    sequence.add(&first);
    sequence.add(&first);  // the same action twice is one registration
    EXPECT_EQ(sequence.size(), 1u);
    sequence.run();
    sequence.run();
    EXPECT_EQ(log, (std::vector<std::string>{"first"}));
    sequence.add(&late);
    EXPECT_EQ(sequence.pending(), 1u);
    sequence.run();
    EXPECT_EQ(log, (std::vector<std::string>{"first", "late"}));
    EXPECT_EQ(sequence.pending(), 0u);
}

// Registers another action while running, as a module initialiser may.
class Spawning : public Init::Action {
  public:
    Spawning(Init::Sequence& sequence, Init::Action& child) : sequence_(sequence), child_(child) {}
    void initialise() override { sequence_.add(&child_); }

  private:
    Init::Sequence& sequence_;
    Init::Action& child_;
};

TEST(Sequence, AnActionMayAddActionsWhileTheSequenceRuns) {
    std::vector<std::string> log;
    Init::Sequence sequence;
    Logged child(log, "child", 0);
    Spawning parent(sequence, child);
    sequence.add(&parent);
    sequence.run();  // would deadlock if the list stayed locked while actions run
    EXPECT_EQ(log, (std::vector<std::string>{"child"}));
}

class AutoLogged : public Init::AutoAction {
  public:
    AutoLogged(std::vector<std::string>& log, std::string name) : log_(log), name_(name) {}
    void initialise() override { log_.push_back(name_); }

  private:
    std::vector<std::string>& log_;
    std::string name_;
};

TEST(AutoAction, JoinsTheProcessSequenceAndLeavesItWhenDestroyed) {
    auto& sequence = Init::Sequence::instance();
    sequence.run();  // whatever the program registered statically
    std::vector<std::string> log;
    const size_t before = sequence.size();
    {
        AutoLogged gone(log, "gone");
        EXPECT_EQ(sequence.size(), before + 1);
    }
    EXPECT_EQ(sequence.size(), before);
    AutoLogged kept(log, "kept");
    sequence.run();  // would touch the destroyed action had it stayed registered
    sequence.run();
    EXPECT_EQ(log, (std::vector<std::string>{"kept"}));
}

struct Animal {
    explicit Animal(const std::string& owner) : owner(owner) {}
    virtual ~Animal() = default;
    virtual std::string sound() const = 0;
    std::string owner;
};
struct Cat : Animal {
    using Animal::Animal;
    std::string sound() const override { return "miaow"; }
};
struct Dog : Animal {
    using Animal::Animal;
    std::string sound() const override { return "woof"; }
};

using Animals = Init::Registry<Animal, const std::string&>;

TEST(Registry, CreatesByNameAndAddReplaces) {
    Animals animals;
    Init::NewFactory<Animal, Cat, const std::string&> cats;
    Init::NewFactory<Animal, Dog, const std::string&> dogs;
    animals.add("pet", &cats);
    auto pet = animals.create("pet", "ann");
    ASSERT_NE(pet, nullptr);
    EXPECT_EQ(pet->sound(), "miaow");
    EXPECT_EQ(pet->owner, "ann");
    animals.add("pet", &dogs);
    EXPECT_EQ(animals.size(), 1u);
    EXPECT_EQ(animals.create("pet", "bob")->sound(), "woof");
}

TEST(Registry, AnUnknownNameCreatesNothingAndAddsNothing) {
    Animals animals;
    EXPECT_EQ(animals.create("unicorn", "ann"), nullptr);
    EXPECT_EQ(animals.size(), 0u);
    EXPECT_FALSE(animals.contains("unicorn"));
}

// Two static registrations under one name in one translation unit: constructed, and therefore
// run, in declaration order, so the second replaces the first.
Animals pets;
Init::AutoRegister<Animal, Cat, const std::string&> cat_registration(pets, "pet");
Init::AutoRegister<Animal, Dog, const std::string&> dog_registration(pets, "pet");
Init::AutoRegister<Animal, Cat, const std::string&> cat_by_name(pets, "cat");

TEST(AutoRegister, StaticRegistrationsEnterTheRegistryWhenTheSequenceRunsAndTheLastWins) {
    EXPECT_EQ(cat_registration.rank(), 0);
    Init::Sequence::instance().run();
    ASSERT_TRUE(pets.contains("pet"));
    EXPECT_EQ(pets.create("pet", "cy")->sound(), "woof");
    EXPECT_EQ(pets.create("cat", "cy")->sound(), "miaow");
    EXPECT_EQ(pets.find("pet"), &dog_registration.factory());
}

}  // namespace
