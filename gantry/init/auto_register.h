// Self-registration of a class S under a name:
//
//     static Init::AutoRegister<Message::Handler, MH_CaptureList, const XML::Element&>
//         registration(handler_registry(), "capture-list");
//
// Construction only records the action; the factory enters the registry when the start-up
// sequence runs (Sequence::instance().run()), so the registry need not exist yet when the static
// object is constructed, only when the sequence runs. Registrations have rank 0 and therefore run
// in their order of construction; the last one made under a name wins.
//
// An object file that holds nothing but such registrations is dropped by the linker when it sits
// in a static library, because nothing refers to it: link such libraries whole (CMake:
// "$<LINK_LIBRARY:WHOLE_ARCHIVE,library>").
#pragma once

#include <string>
#include <utility>

#include "gantry/init/action.h"
#include "gantry/init/factory.h"

namespace Gantry::Init {

template <class T, class S, class A, class K = std::string>
class AutoRegister : public AutoAction {
  public:
    AutoRegister(Registry<T, A>& registry, K key)
        : AutoAction(0), registry_(registry), key_(std::move(key)) {}

    void initialise() override { registry_.add(std::string(key_), &factory_); }

    const K& key() const { return key_; }
    Factory<T, A>& factory() { return factory_; }

  private:
    NewFactory<T, S, A> factory_;
    Registry<T, A>& registry_;
    const K key_;
};

}  // namespace Gantry::Init
