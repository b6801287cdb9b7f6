// Turns transport stream bytes that carry DVB service information into programme guide records:
// the PAT says which service a stream carries, the SDT gives that service's provider and name,
// the EIT the events of any service. Results go to the EPG store.
//
// Two kinds of feeders: an EPG capture feeds a dedicated guide stream and names no owner, so it
// only supplies events for services the store already knows; a channel capture names itself as
// the owner of its stream's service, which the decoder then adds to the store.
//
// Threading: one EPGDecoder is shared by every feeder. Its Huffman tables are filled before any
// feeder starts and only read afterwards; the store locks internally. Each EPGStreamState
// belongs to one feeder and is only touched by that feeder's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "epg/huffman.h"
#include "gantry/channel/block.h"
#include "gantry/time/duration.h"
#include "mpeg/eit.h"
#include "mpeg/pat.h"
#include "mpeg/sdt.h"

namespace Corvid::Capture {

class EPGStore;

class EPGDecoder {
  public:
    // The store must outlive the decoder.
    explicit EPGDecoder(EPGStore& store) : store_(store) {}
    EPGDecoder(const EPGDecoder&) = delete;
    EPGDecoder& operator=(const EPGDecoder&) = delete;

    EPGStore& store() const { return store_; }
    // Filled (for instance with Huffman::load_tables) before decoding starts.
    Huffman::TableSet& huffman_tables() { return tables_; }
    const Huffman::TableSet& huffman_tables() const { return tables_; }

  private:
    EPGStore& store_;
    Huffman::TableSet tables_;
};

// What a channel capture says about the stream it feeds.
struct ServiceOwner {
    std::string id;                         // the capture's id
    Gantry::Time::Duration history_length;  // for services the store creates
    // Inspection of a whole multiplex (cv-epg scan --all): every service named by an SDT, actual
    // or other, or by an EIT is added under this owner, not only the stream's own service.
    bool all_services = false;
};

// The decoding state of one fed stream.
struct EPGStreamState {
    uint16_t service_id = 0;  // from the PAT; 0 until known
    std::string provider;     // last reported for service_id
    std::string name;
    std::vector<uint8_t> carry;  // an incomplete packet left from the previous call
    bool in_sync = true;         // false after a bad sync byte, until a packet start is found
    MPEG::PATReader pat_reader;
    MPEG::SDTReader sdt_reader;
    MPEG::EITReader eit_reader;
};

// Decodes every complete 188-byte packet of the bytes, keeping a trailing partial packet for the
// next call. The stream is taken as packet-aligned; after a packet whose first byte is not the sync
// byte (logged once), the decoder looks for the next packet start and carries on from there.
void process_data(EPGDecoder& decoder, const uint8_t* bytes, size_t length, EPGStreamState& state,
                  const ServiceOwner* owner);

// Reads one packet and hands its payload to the PAT, SDT or EIT handler by PID; other PIDs are
// ignored. Logs and drops packets that do not parse.
void process_packet(EPGDecoder& decoder, Gantry::Channel::BlockReader& reader,
                    EPGStreamState& state, const ServiceOwner* owner);

// One DVB text field to UTF-8: compressed text (0x1F, table id, codes) through the decoder's
// Huffman table for that id, or, when there is none, everything through decode_dvb_text. The
// result is always well-formed UTF-8 that XML 1.0 can carry.
std::string decode_text(const EPGDecoder& decoder, const uint8_t* bytes, size_t length);

}  // namespace Corvid::Capture
