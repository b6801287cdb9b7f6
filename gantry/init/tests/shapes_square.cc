#include "gantry/init/tests/shapes.h"

namespace Shapes {
namespace {

struct Square : Shape {
    using Shape::Shape;
    std::string name() const override { return "square"; }
};

Gantry::Init::AutoRegister<Shape, Square, int> registration(registry, "square");

}  // namespace
}  // namespace Shapes
