#include "gantry/init/tests/shapes.h"

namespace Shapes {

// A namespace-scope object with a dynamic constructor: whether it is constructed before or after
// the library's registration objects is unspecified, and must not matter.
Gantry::Init::Registry<Shape, int> registry;

}  // namespace Shapes
