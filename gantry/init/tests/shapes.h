// Registered from a static library's object file that nothing in the test refers to.
#pragma once

#include <string>

#include "gantry/init/init.h"

struct Shape {
    explicit Shape(std::string said) : said(std::move(said)) {}
    virtual ~Shape() = default;
    const std::string said;
};

extern Gantry::Init::Registry<Shape, const std::string&> shapes;  // defined by the test program
