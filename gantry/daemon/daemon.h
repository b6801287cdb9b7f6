// Gantry::Daemon: runs an application as a Unix daemon (see shell.h).
#pragma once

#include "gantry/daemon/application.h"
#include "gantry/daemon/shell.h"
#include "gantry/daemon/signals.h"
