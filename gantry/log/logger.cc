#include "gantry/log/logger.h"

#include <new>

namespace Gantry::Log {

namespace {

// Storage that neither constructs nor destroys the distributor by itself: LoggerInit builds it,
// and nothing tears it down, so messages logged by static destructors still have somewhere to go.
union LoggerStorage {
    constexpr LoggerStorage() : unused() {}
    ~LoggerStorage() {}

    char unused;
    Distributor distributor;
};

constinit LoggerStorage storage;
// Static initialisation runs on one thread; zero before any of it.
constinit int init_count = 0;

}  // namespace

constinit Distributor& logger = storage.distributor;

LoggerInit::LoggerInit() {
    if (init_count++ == 0) new (&storage.distributor) Distributor();
}

}  // namespace Gantry::Log
