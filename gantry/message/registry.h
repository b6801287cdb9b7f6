// The process-wide handler registry: every handler class files a factory under its request name
// with one static registration, which takes effect when the start-up sequence runs:
//
//     static Message::Registration<MH_CaptureList> registration(Message::handler_registry(),
//                                                               "capture-list");
//
// The factory builds the handler from its configuration element.
#pragma once

#include <string>

#include "gantry/init/auto_register.h"
#include "gantry/init/factory.h"
#include "gantry/message/handler.h"
#include "gantry/xml/element.h"

namespace Gantry::Message {

using HandlerRegistry = Init::Registry<Handler, XML::Element&>;

// Created on first use, so static registrations may name it from any translation unit.
HandlerRegistry& handler_registry();

template <class S>
using Registration = Init::AutoRegister<Handler, S, XML::Element&, std::string>;

}  // namespace Gantry::Message
