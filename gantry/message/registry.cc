#include "gantry/message/registry.h"

namespace Gantry::Message {

HandlerRegistry& handler_registry() {
    // Never destroyed: handlers may be created until the very end of the process.
    static HandlerRegistry* registry = new HandlerRegistry;
    return *registry;
}

}  // namespace Gantry::Message
