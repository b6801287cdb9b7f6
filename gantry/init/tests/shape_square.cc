#include "gantry/init/tests/shapes.h"

struct Square : Shape {
    explicit Square(const std::string& owner) : Shape(owner + ": square") {}
};

static Gantry::Init::AutoRegister<Shape, Square, const std::string&> registration(shapes, "square");
