// Classes that register themselves from two translation units of a static library
// (gantry_init_test_shapes), to check that the registrations survive linking.
#pragma once

#include <string>

#include "gantry/init/init.h"

namespace Shapes {

struct Shape {
    Shape(std::string name, int size) : name(std::move(name)), size(size) {}
    virtual ~Shape() = default;
    const std::string name;
    const int size;
};

// Defined by the test programs, outside the library: nothing in them refers to the library's
// object files.
extern Gantry::Init::Registry<Shape, int> registry;

}  // namespace Shapes
