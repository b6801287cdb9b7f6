// The report of a fatal signal. It is written from inside the signal handler, where the process
// may hold any lock (the allocator's, the log's), so it uses async-signal-safe calls only: no
// allocation, no locks, no stdio, no localtime. It goes straight to the log's descriptor, with
// the same time stamp prefix as the other log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Gantry::Daemon {

// The log's descriptor (-1: nowhere), whether error lines pass the configured level, and the
// chain's time stamp format. On the main thread, before the handlers are installed.
void configure_crash_report(int fd, bool enabled, const std::string& stamp_format);
// Names the process in the report: "master" or "slave".
void set_crash_report_master(bool master);
// Takes the local time offset from UTC, which the handler cannot ask for. Called at start-up and
// from the main loop, so the report follows daylight saving time.
void refresh_crash_report_clock();

// "*** Signal received in slave: segment violation (11) ***", "--- backtrace:", one "- " line
// per stack frame (at most 100), "---".
void write_crash_report(int signal);

// The time stamp prefix, as Log::TimestampFilter makes it, for a local time given as seconds
// since 1970 as if local were UTC. Knows "%*L", "%*S", "%%" and %a %b %d %e %H %M %S %Y %y %m %j;
// any other conversion is copied as it stands. Writes at most size - 1 bytes and a NUL; returns
// the length.
size_t format_stamp(char* out, size_t size, const char* format, int level, int64_t local_seconds,
                    int millis);

}  // namespace Gantry::Daemon
