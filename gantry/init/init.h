// Start-up registration: actions run once in rank order, factories and registries (Gantry::Init).
#pragma once

#include "gantry/init/action.h"
#include "gantry/init/auto_register.h"
#include "gantry/init/factory.h"
#include "gantry/init/sequence.h"
