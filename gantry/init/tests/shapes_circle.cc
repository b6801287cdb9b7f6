#include "gantry/init/tests/shapes.h"

namespace Shapes {
namespace {

struct Circle : Shape {
    explicit Circle(int size) : Shape("circle", size) {}
};

Gantry::Init::AutoRegister<Shape, Circle, int> registration(registry, "circle");

}  // namespace
}  // namespace Shapes
