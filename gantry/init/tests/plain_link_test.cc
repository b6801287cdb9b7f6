// Linked with the shapes library in the ordinary way. Nothing refers to its object files, so the
// linker leaves them out and their registrations never happen: the reason such libraries must be
// linked whole. If this test starts failing, the linker or the build changed how archives are
// linked, and the note on static libraries in auto_register.h needs another look.
#include <gtest/gtest.h>

#include "gantry/init/init.h"
#include "gantry/init/tests/shapes.h"

namespace {

TEST(StaticLibraryRegistration, AnOrdinaryLinkDropsTheRegisteringObjects) {
    Gantry::Init::Sequence::instance().run();
    EXPECT_EQ(Shapes::registry.size(), 0u);
    EXPECT_EQ(Gantry::Init::Sequence::instance().size(), 0u);
}

}  // namespace
