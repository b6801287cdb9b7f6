// Readers and writers over standard streams.
#pragma once

#include <iosfwd>

#include "gantry/channel/reader.h"
#include "gantry/channel/writer.h"

namespace Gantry::Channel {

// Reads from an istream it does not own. End of file is end of data; any other failure of the
// stream throws code 1 "Stream failed". Rewinds by a relative seekg.
class StreamReader final : public Reader {
  public:
    explicit StreamReader(std::istream& in) : in_(in) {}

    size_t basic_read(void* buffer, size_t count) override;
    bool rewindable() const override { return true; }
    // Throws code 1 "Rewound too far" beyond the offset, "Stream failed" if the seek fails.
    void rewind(uint64_t count) override;

  private:
    std::istream& in_;
};

// Writes to an ostream it does not own; a failed write throws code 1 "Stream failed". Rewinds by a
// relative seekp.
class StreamWriter final : public Writer {
  public:
    explicit StreamWriter(std::ostream& out) : out_(out) {}

    void basic_write(const void* buffer, size_t count) override;
    bool rewindable() const override { return true; }
    // Throws code 1 "Rewound too far" beyond the offset, "Stream failed" if the seek fails.
    void rewind(uint64_t count) override;

  private:
    std::ostream& out_;
};

}  // namespace Gantry::Channel
