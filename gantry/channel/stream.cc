#include "gantry/channel/stream.h"

#include <istream>
#include <limits>
#include <ostream>

#include "gantry/channel/error.h"

namespace Gantry::Channel {

namespace {

[[noreturn]] void stream_failed() {
    throw Error(Error::data_error, "Stream failed");
}

// Stream positions are signed; larger requests are served in parts.
constexpr size_t max_part = static_cast<size_t>(std::numeric_limits<std::streamsize>::max());

}  // namespace

size_t StreamReader::basic_read(void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        if (in_.eof()) break;  // end of data, not a failure
        if (!in_) stream_failed();
        size_t want = count - done < max_part ? count - done : max_part;
        auto n = static_cast<std::streamsize>(want);
        if (buffer)
            in_.read(static_cast<char*>(buffer) + done, n);
        else
            in_.ignore(n);
        auto got = static_cast<size_t>(in_.gcount());
        done += got;
        offset_ += got;
        if (in_.bad() || (in_.fail() && !in_.eof())) stream_failed();
        if (got < want) break;
    }
    return done;
}

void StreamReader::rewind(uint64_t count) {
    if (count > offset_) throw Error(Error::data_error, "Rewound too far");
    if (in_.eof() && !in_.bad()) in_.clear();  // a reader that hit the end may step back
    in_.seekg(-static_cast<std::streamoff>(count), std::ios_base::cur);
    if (!in_) stream_failed();
    offset_ -= count;
}

void StreamWriter::basic_write(const void* buffer, size_t count) {
    if (!out_) stream_failed();
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
        size_t part = count - done < max_part ? count - done : max_part;
        out_.write(p + done, static_cast<std::streamsize>(part));
        if (!out_) stream_failed();
        done += part;
    }
    offset_ += count;
}

void StreamWriter::rewind(uint64_t count) {
    if (count > offset_) throw Error(Error::data_error, "Rewound too far");
    out_.seekp(-static_cast<std::streamoff>(count), std::ios_base::cur);
    if (!out_) stream_failed();
    offset_ -= count;
}

}  // namespace Gantry::Channel
