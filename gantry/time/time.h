// Gantry::Time: durations read from configuration text and absolute UTC time stamps.
#pragma once

#include "gantry/time/civil.h"
#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"
