// Gantry::SOAP: SOAP envelopes and faults, and the transport that serves message handlers over
// SOAP on HTTP.
#pragma once

#include "gantry/soap/fault.h"
#include "gantry/soap/message.h"
#include "gantry/soap/message_transport.h"
#include "gantry/soap/namespaces.h"
#include "gantry/soap/server.h"
#include "gantry/soap/url_handler.h"
