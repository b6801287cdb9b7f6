#include <algorithm>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>

#include "epg/epg.h"
#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"
#include "mpeg/eit.h"
#include "mpeg/ts_packet.h"
#include "tools/cv-epg/commands.h"

namespace Corvid::Tools {

namespace Capture = Corvid::Capture;
namespace MPEG = Corvid::MPEG;
namespace Time = Gantry::Time;
namespace Log = Gantry::Log;

namespace {

// What a channel capture hands the decoder at a time: seven packets, one datagram.
constexpr size_t CHUNK = 7 * MPEG::ts_packet_size;
constexpr uint16_t PID_EIT = 0x0012;

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CommandError("cannot open " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (in.bad()) throw CommandError("cannot read " + path);
    return data;
}

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The earliest event start in the files' EITs. A capture's store counts its hours from "now"
// minus its history; a recording is replayed as if now were the start of its earliest event, so
// that all its events fit the hour buckets. Starts more than the reach of a DVB schedule (64
// days) before the median are taken for damage and passed over.
Time::Stamp earliest_start(const std::vector<std::vector<uint8_t>>& files) {
    std::vector<Time::Stamp> starts;
    for (const auto& data : files) {
        MPEG::EITReader reader;
        MPEG::TSPacket packet;
        for (size_t pos = 0; pos + MPEG::ts_packet_size <= data.size();
             pos += MPEG::ts_packet_size) {
            Gantry::Channel::BlockReader block(data.data() + pos, MPEG::ts_packet_size);
            size_t payload = 0;
            if (!MPEG::TSPacket::read_header(block, packet, payload)) continue;
            if (packet.pid != PID_EIT || payload > block.remaining()) continue;
            reader.add(packet, block.current(), payload);
            for (int i = 0; i < 4096; i++) {
                MPEG::EIT eit;
                const auto result = reader.read(eit);
                if (result == MPEG::TableReader::need_more) break;
                if (result != MPEG::TableReader::complete) continue;
                for (const auto& event : eit.events)
                    if (event.start.valid()) starts.push_back(event.start);
            }
        }
    }
    if (starts.empty()) return Time::Stamp::now();
    std::sort(starts.begin(), starts.end());
    const Time::Stamp limit = starts[starts.size() / 2] - Time::Duration(64 * 86400.0);
    return *std::lower_bound(starts.begin(), starts.end(), limit);
}

void print_text_lines(std::ostream& out, const std::string& text, const std::string& indent) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        out << indent << line << "\n";
}

void print_guide(std::ostream& out, const std::vector<Capture::EPGServiceListing>& services) {
    if (services.empty()) {
        out << "No services found.\n";
        return;
    }
    for (const auto& listing : services) {
        const auto& s = listing.service;
        out << "Service " << s.service_id << " (0x" << std::hex << std::setw(4) << std::setfill('0')
            << s.service_id << std::dec << std::setfill(' ') << ")"
            << "  provider: " << s.provider << "  name: " << s.name << "  owner: " << s.id
            << "  events: " << listing.events.size() << "\n";
        if (!listing.events.empty())
            out << "  " << std::left << std::setw(7) << "event" << std::setw(22) << "start"
                << std::setw(10) << "duration"
                << "title / description\n"
                << std::right;
        for (const auto& e : listing.events) {
            out << "  " << std::left << std::setw(7) << e.id << std::setw(22) << e.start.iso()
                << std::setw(10) << e.duration.hms() << std::right << e.name << "\n";
            print_text_lines(out, e.description, std::string(41, ' '));
        }
        out << "\n";
    }
}

// Counts the error lines (damaged packets) the decoder logs while it exists.
class ErrorCount final : public Log::Channel {
  public:
    ErrorCount() { Log::logger.connect(*this); }
    ~ErrorCount() override { Log::logger.disconnect(*this); }
    void log(const Log::Message& message) override {
        if (message.level != Log::error_level) return;
        Gantry::MT::Lock lock(mutex_);
        count_++;
    }
    bool accepts(int level) const override { return level == Log::error_level; }
    size_t count() const {
        Gantry::MT::Lock lock(mutex_);
        return count_;
    }

  private:
    size_t count_ GANTRY_GUARDED_BY(mutex_) = 0;
};

}  // namespace

void scan(const ScanOptions& options, std::ostream& out) {
    std::vector<std::vector<uint8_t>> files;
    for (const std::string& path : options.files)
        files.push_back(read_file(path));

    Time::Stamp now = earliest_start(files);
    Capture::EPGStore store([&now] { return now; });
    Capture::EPGDecoder decoder(store);
    if (!options.huffman_pattern.empty()) {
        Capture::Huffman::load_tables(decoder.huffman_tables(), options.huffman_pattern);
        if (decoder.huffman_tables().empty())
            throw CommandError("no Huffman tables read from " + options.huffman_pattern);
    }

    size_t damaged = 0;
    {
        ErrorCount errors;
        for (size_t i = 0; i < files.size(); i++) {
            Capture::ServiceOwner owner;
            owner.id = options.owner.empty() ? base_name(options.files[i]) : options.owner;
            owner.all_services = options.all_services;
            Capture::EPGStreamState state;
            const auto& data = files[i];
            for (size_t pos = 0; pos < data.size(); pos += CHUNK) {
                size_t n = std::min(CHUNK, data.size() - pos);
                Capture::process_data(decoder, data.data() + pos, n, state, &owner);
            }
        }
        damaged = errors.count();
    }

    // The state file first: a reader that stops reading the listing early must not cost it.
    if (!options.state_file.empty() && !store.save(options.state_file))
        throw CommandError("cannot write " + options.state_file);
    std::vector<Capture::EPGServiceListing> guide;
    store.get_all(guide);
    print_guide(out, guide);
    if (damaged > 0) out << "Damaged data skipped " << damaged << " time(s)\n";
}

}  // namespace Corvid::Tools
