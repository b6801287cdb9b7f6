// Gantry::Message: request handlers, the transports that deliver requests to them, and the
// broker that creates the handlers and attaches them to the transports.
#pragma once

#include "gantry/message/broker.h"
#include "gantry/message/handler.h"
#include "gantry/message/namespaces.h"
#include "gantry/message/registry.h"
#include "gantry/message/source_context.h"
#include "gantry/message/transport.h"
