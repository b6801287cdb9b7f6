// Log::logger: the process-wide distributor that level streams send to by default.
#pragma once

#include "gantry/log/distributor.h"

namespace Gantry::Log {

// Usable from static initialisers and destructors of any translation unit that includes this
// header: the distributor is built before the first such initialiser runs (a counter object in
// every including unit, as for std::cout) and is never destroyed. Channels connected to it must
// be disconnected before they are destroyed.
extern Distributor& logger;

class LoggerInit {
  public:
    LoggerInit();
};

namespace {
// One per translation unit; constructed before anything defined after the #include.
const LoggerInit logger_init;
}  // namespace

}  // namespace Gantry::Log
