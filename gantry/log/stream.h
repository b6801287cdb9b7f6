// Level streams: write log lines like to any output stream, one message per newline.
//
//     Log::Summary log;
//     log << "capture '" << id << "' started" << std::endl;
//
// Each completed line becomes a Log::Message with the stream's level and the time the line was
// completed, and goes to the stream's channel (Log::logger unless one is given).
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "gantry/log/channel.h"
#include "gantry/log/logger.h"

namespace Gantry::Log {

// Collects characters into lines. Not locked: one thread at a time per buffer.
//
// When created it asks the channel whether anything downstream accepts its level; if nothing
// does, it drops everything it is given, without building messages or reading the clock. The
// answer holds for the buffer's lifetime: build the log chain before creating long-lived level
// streams (Log::logger answers yes while it has no channels at all, so streams made before the
// chain is connected still work).
class StreamBuf : public std::streambuf {
  public:
    StreamBuf(Channel& channel, int level);
    // Text written without a final newline is still sent, as a last message.
    ~StreamBuf() override;

    bool enabled() const { return enabled_; }
    int level() const { return level_; }

  protected:
    // A newline sends the buffered line and empties the buffer (an empty line gives a message
    // with empty text). The end-of-file marker sends the buffered text without emptying the
    // buffer, once until the next newline.
    int_type overflow(int_type c) override;
    // Whole runs of text at a time; same effect as overflow() per character.
    std::streamsize xsputn(const char* text, std::streamsize count) override;

  private:
    void send();

    Channel& channel_;
    const int level_;
    const bool enabled_;
    std::string line_;
    bool sent_ = false;
};

// An output stream over its own StreamBuf. When no channel downstream accepts its level the stream
// starts in the bad state, so insertions format nothing: a detail line with details switched off
// costs little more than creating the stream. Check enabled() to skip building costly arguments.
class Stream : public std::ostream {
  public:
    Stream(Channel& channel, int level);
    ~Stream() override;

    bool enabled() const { return buffer_.enabled(); }
    int level() const { return buffer_.level(); }

  private:
    StreamBuf buffer_;
};

class Error : public Stream {
  public:
    explicit Error(Channel& channel = logger) : Stream(channel, error_level) {}
};

class Summary : public Stream {
  public:
    explicit Summary(Channel& channel = logger) : Stream(channel, summary_level) {}
};

class Detail : public Stream {
  public:
    explicit Detail(Channel& channel = logger) : Stream(channel, detail_level) {}
};

// The three level streams together, for classes that log at every level.
struct Streams {
    explicit Streams(Channel& channel = logger)
        : error(channel), summary(channel), detail(channel) {}

    Error error;
    Summary summary;
    Detail detail;
};

// Whether a line of this level would reach an output through the channel.
inline bool enabled(int level, const Channel& channel = logger) {
    return channel.accepts(level);
}

}  // namespace Gantry::Log
