// Classes that register themselves from two translation units of a static library
// (gantry_init_test_shapes), to check that the registrations survive linking.
#pragma once

#include <string>

#include "gantry/init/init.h"

namespace Shapes {

struct Shape {
    explicit Shape(int size) : size(size) {}
    virtual ~Shape() = default;
    virtual std::string name() const = 0;
    const int size;
};

// Defined by the test programs, outside the library: nothing in them refers to the library's
// object files.
extern Gantry::Init::Registry<Shape, int> registry;

}  // namespace Shapes
