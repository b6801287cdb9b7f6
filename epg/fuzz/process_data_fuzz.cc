// Transport stream bytes from the air through the whole decoder: packet headers, section assembly,
// EIT/SDT bodies, descriptors, DVB text with every table selector, and Huffman-compressed text
// with the Freesat tables loaded. The tables are found through CORVID_HUFFMAN_PATTERN, or else the
// pattern baked in at build time (the shared test data).
//
// Input: byte 0 chooses the owner (bit 0: none, bit 1: whole multiplex) and the datagram size
// ((byte 1 + 1) bytes); the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "epg/epg_decoder.h"
#include "epg/epg_store.h"

namespace {

namespace Capture = Corvid::Capture;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

Capture::EPGStore* store;
Capture::EPGDecoder* decoder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    store = new Capture::EPGStore([] { return Stamp("2019-01-21T00:00:00Z"); });
    decoder = new Capture::EPGDecoder(*store);
    const char* pattern = std::getenv("CORVID_HUFFMAN_PATTERN");
    Capture::Huffman::load_tables(decoder->huffman_tables(),
                                  pattern ? pattern : CORVID_FREESAT_PATTERN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const size_t chunk = static_cast<size_t>(data[1]) + 1;
    data += 2;
    size -= 2;
    Capture::ServiceOwner owner{"fuzz", Duration(0.0), (mode & 2) != 0};
    Capture::EPGStreamState state;
    for (size_t pos = 0; pos < size; pos += chunk) {
        size_t n = size - pos < chunk ? size - pos : chunk;
        // Each chunk in a buffer of its own size, so reading past it is caught.
        std::string piece(reinterpret_cast<const char*>(data + pos), n);
        Capture::process_data(*decoder, reinterpret_cast<const uint8_t*>(piece.data()), n, state,
                              (mode & 1) ? nullptr : &owner);
    }
    Capture::decode_text(*decoder, data, size);
    // Keep the store from growing across inputs.
    store->remove_services("fuzz");
    return 0;
}
