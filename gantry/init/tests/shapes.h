// Shapes register in a static library that nothing in the test refers to, so it is linked whole.
#pragma once

#include <string>

#include "gantry/init/init.h"

struct Shape {
    explicit Shape(std::string said) : said(std::move(said)) {}
    virtual ~Shape() = default;
    const std::string said;
};

extern Gantry::Init::Registry<Shape, const std::string&> shapes;  // defined by the test program
