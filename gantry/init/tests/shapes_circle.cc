#include "gantry/init/tests/shapes.h"

namespace Shapes {
namespace {

struct Circle : Shape {
    using Shape::Shape;
    std::string name() const override { return "circle"; }
};

Gantry::Init::AutoRegister<Shape, Circle, int> registration(registry, "circle");

}  // namespace
}  // namespace Shapes
