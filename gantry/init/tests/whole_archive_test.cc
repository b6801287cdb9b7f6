// Linked with the shapes library as a whole archive: both of its translation units register.
#include <gtest/gtest.h>

#include "gantry/init/init.h"
#include "gantry/init/tests/shapes.h"

namespace Init = Gantry::Init;

namespace {

TEST(StaticLibraryRegistration, BothTranslationUnitsOfTheArchiveRegister) {
    Init::Sequence::instance().run();
    ASSERT_TRUE(Shapes::registry.contains("circle"));
    ASSERT_TRUE(Shapes::registry.contains("square"));
    auto circle = Shapes::registry.create("circle", 3);
    auto square = Shapes::registry.create("square", 4);
    ASSERT_NE(circle, nullptr);
    ASSERT_NE(square, nullptr);
    EXPECT_EQ(circle->name(), "circle");
    EXPECT_EQ(circle->size, 3);
    EXPECT_EQ(square->name(), "square");
    EXPECT_EQ(square->size, 4);
}

}  // namespace
