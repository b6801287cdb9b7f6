#include "gantry/init/tests/shapes.h"

namespace Shapes {
namespace {

class Square : public Shape {
  public:
    using Shape::Shape;
    std::string name() const override { return "square"; }
};

Gantry::Init::AutoRegister<Shape, Square, int> registration(registry, "square");

}  // namespace
}  // namespace Shapes
