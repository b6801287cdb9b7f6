// Log::StreamChannel: the end of a log chain, writing each message as a line to a stream.
#pragma once

#include <ostream>

#include "gantry/log/channel.h"
#include "gantry/mt/annotations.h"

namespace Gantry::Log {

// Writes the text and a newline and flushes, under the channel's mutex, so lines never mix. A
// stream left in a failed state (a full disk, say) is cleared before each line, so logging
// resumes once writing works again. The stream is not owned and must outlive the channel.
class StreamChannel : public Channel {
  public:
    explicit StreamChannel(std::ostream& stream) : stream_(&stream) {}

    void log(const Message& message) override;

  private:
    std::ostream* const stream_ GANTRY_PT_GUARDED_BY(mutex_);
};

}  // namespace Gantry::Log
