#include "gantry/init/tests/shapes.h"

namespace Shapes {
namespace {

struct Square : Shape {
    explicit Square(int size) : Shape("square", size) {}
};

Gantry::Init::AutoRegister<Shape, Square, int> registration(registry, "square");

}  // namespace
}  // namespace Shapes
