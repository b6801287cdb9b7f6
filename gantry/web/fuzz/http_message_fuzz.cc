// Feeds arbitrary bytes to the HTTP message reader, as a request and as a response, with small
// limits so that the limit paths are reached often; whatever is read must write back.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "gantry/web/http_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Gantry::Web::HTTPLimits limits;
    limits.max_line = 200;
    limits.max_header_lines = 10;
    limits.max_header_bytes = 1000;
    limits.max_body = 4096;
    for (const bool request : {true, false}) {
        std::istringstream in(bytes);
        for (int i = 0; i < 8; ++i) {
            Gantry::Web::HTTPMessage message;
            if (message.read(in, request, limits) != Gantry::Web::ReadStatus::OK) break;
            if (message.body.size() > limits.max_body) __builtin_trap();
            std::string out;
            message.write(out);
            (void)message.url.split();
        }
    }
    return 0;
}
