// Linked with the shapes library as a whole archive: both of its translation units register.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "gantry/init/init.h"
#include "gantry/init/tests/shapes.h"

namespace {

TEST(StaticLibraryRegistration, BothTranslationUnitsOfTheArchiveRegister) {
    Gantry::Init::Sequence::instance().run();
    const std::pair<std::string, int> cases[] = {{"circle", 3}, {"square", 4}};
    for (const auto& [name, size] : cases) {
        auto shape = Shapes::registry.create(name, size);
        ASSERT_NE(shape, nullptr) << name << " did not register";
        EXPECT_EQ(shape->name, name);
        EXPECT_EQ(shape->size, size);
    }
}

}  // namespace
