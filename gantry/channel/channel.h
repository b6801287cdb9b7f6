// Gantry::Channel: binary readers and writers over memory blocks, standard streams and file
// descriptors, with big- and little-endian integers, and a bit reader. Failures throw
// Channel::Error.
#pragma once

#include "gantry/channel/bit_reader.h"
#include "gantry/channel/block.h"
#include "gantry/channel/error.h"
#include "gantry/channel/fd.h"
#include "gantry/channel/reader.h"
#include "gantry/channel/stream.h"
#include "gantry/channel/writer.h"
