// Gantry::Tube: a framed message connection to a server, kept up by its own threads.
#pragma once

#include "gantry/tube/client.h"
#include "gantry/tube/frame.h"
#include "gantry/tube/queue.h"
