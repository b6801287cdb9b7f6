#include "gantry/init/tests/shapes.h"

namespace {

struct Square : Shape {
    explicit Square(const std::string& owner) : Shape(owner + ": square") {}
};

Gantry::Init::AutoRegister<Shape, Square, const std::string&> registration(shapes, "square");

}  // namespace
