#include "gantry/init/init.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace Init = Gantry::Init;

namespace {

using Log = std::vector<std::string>;

// Appends its name to a log when initialised; with a sequence, also registers child from there.
template <class Base = Init::Action>
class Logged : public Base {
  public:
    Logged(Log& log, std::string name, int rank = 0, Init::Sequence* sequence = nullptr,
           Init::Action* child = nullptr)
        : Base(rank), log_(log), name_(std::move(name)), sequence_(sequence), child_(child) {}
    void initialise() override {
        log_.push_back(name_);
        if (sequence_ != nullptr) sequence_->add(child_);
    }

  private:
    Log& log_;
    std::string name_;
    Init::Sequence* sequence_;
    Init::Action* child_;
};

TEST(Sequence, RunsByRankStablyAndEachActionOnlyOnce) {
    Log log;
    Init::Sequence sequence;
    Logged<> late(log, "late", -9);
    Logged<> a(log, "a5", 5), b(log, "b1", 1), c(log, "c5", 5), d(log, "d0", 0), e(log, "e1", 1),
        f(log, "f-2", -2, &sequence, &late);
    for (Init::Action* action : {&a, &b, &c, &d, &e, &f, &a})
        sequence.add(action);
    EXPECT_EQ(sequence.size(), 6u) << "the same action twice is one registration";
    // late, added while the sequence runs (it would deadlock were the list locked meanwhile),
    // runs in the same call although earlier actions already ran.
    sequence.run();
    sequence.run();
    EXPECT_EQ(log, (Log{"f-2", "late", "d0", "b1", "e1", "a5", "c5"}));
}

TEST(AutoAction, JoinsTheProcessSequenceAndLeavesItWhenDestroyed) {
    auto& sequence = Init::Sequence::instance();
    sequence.run();  // whatever the program registered statically
    Log log;
    { Logged<Init::AutoAction> gone(log, "gone"); }
    Logged<Init::AutoAction> kept(log, "kept");
    sequence.run();  // would touch the destroyed action had it stayed registered
    EXPECT_EQ(log, (Log{"kept"}));
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
    auto pet = pets.create("pet", "ann");
    EXPECT_EQ(pet->sound(), "woof");
    EXPECT_EQ(pet->owner, "ann") << "the argument reaches the constructor";
    EXPECT_EQ(pets.create("cat", "cy")->sound(), "miaow");
    EXPECT_EQ(pets.create("unicorn", "cy"), nullptr);
    EXPECT_EQ(pets.size(), 2u) << "an unknown name adds nothing";
}

}  // namespace
