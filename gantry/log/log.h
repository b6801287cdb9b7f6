// Gantry::Log: log lines from any thread, through a chain of filters, to the log file.
//
// The daemon builds its chain once at start-up:
//
//     Log::StreamChannel file(log_stream);
//     Log::TimestampFilter stamp(file);               // "%a %d %b %H:%M:%*S [%*L]: "
//     Log::LevelFilter level(stamp, configured_level);
//     Log::logger.connect(level);
//
// and code anywhere writes `Log::Error() << "..." << std::endl;`. Delivery is synchronous, on the
// logging thread; the distributor's mutex keeps lines whole.
#pragma once

#include "gantry/log/channel.h"
#include "gantry/log/distributor.h"
#include "gantry/log/filters.h"
#include "gantry/log/logger.h"
#include "gantry/log/message.h"
#include "gantry/log/rate_limit.h"
#include "gantry/log/stream.h"
#include "gantry/log/stream_channel.h"
