// Thread-safe caches of owned objects keyed by id (Gantry::Cache).
#pragma once

#include "gantry/cache/generic_cache.h"
#include "gantry/cache/pointer_cache.h"
#include "gantry/cache/pointer_content.h"
#include "gantry/cache/policy.h"
