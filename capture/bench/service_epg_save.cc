// epg-save-run: the guide saved while channels record. A store of 252,000 events (500 services,
// a week, three an hour) is saved over and over while CHANNELS captures on 127.0.0.1 receive
// STREAM at 10 Mbit/s each and feed its guide to the same store. A probe thread adds an event
// every millisecond and times how long each add waits: that is how long a capture thread decoding
// a guide section waits for the store. Prints the save time, the longest and the typical wait,
// and every capture's datagrams and ring drops (a ring of 1000 datagrams lasts about a second at
// 10 Mbit/s).
//
//   epg-save-run STREAM CHANNELS SECONDS DIR
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/xml/element.h"

namespace {

using namespace Corvid::Capture;
using Clock = std::chrono::steady_clock;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

constexpr size_t DATAGRAM = 7 * 188;
constexpr double MBITS = 10;

void fill(EPGStore& store, Stamp start) {
    const std::string description =
        "A documentary about the sea, with interviews, archive footage and a look at the fishing "
        "villages of the coast.";
    for (int s = 1; s <= 500; s++) {
        const auto service = static_cast<uint16_t>(s);
        store.add_service("capture-" + std::to_string(s % 50), Duration(3600.0), service, "P",
                          "Service " + std::to_string(s), start);
        for (int slot = 0; slot < 7 * 24 * 3; slot++)
            store.add_event(service, static_cast<uint16_t>(slot), start + Duration(slot * 1200.0),
                            Duration(1200.0), "Programme " + std::to_string(slot), description);
    }
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: epg-save-run STREAM CHANNELS SECONDS DIR\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> stream((std::istreambuf_iterator<char>(in)), {});
    const int channels = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    const std::string dir = argv[4];
    if (stream.size() < DATAGRAM || channels < 1) return 2;

    const Stamp start = Stamp::now() - Duration(3600.0);
    EPGStore store;
    fill(store, start);
    EPGDecoder decoder(store);
    std::vector<std::unique_ptr<Capture>> captures;
    std::vector<sockaddr_in> targets;
    for (int c = 0; c < channels; c++) {
        Gantry::XML::Element definition("capture");
        definition.set_attr("id", "ch" + std::to_string(c));
        Gantry::XML::Element& source = definition.make_child("source");
        source.set_attr("address", "127.0.0.1");
        source.set_attr("port", "0");
        definition.make_child("file").set_attr("prefix", dir + "/");
        definition.make_child("index").set_attr("suffix", ".cvi2");
        definition.make_child("segment").set_attr("length", "1 min");
        captures.push_back(
            std::make_unique<Capture>(definition, Gantry::XML::Element::none, decoder, true));
        if (!captures.back()->valid()) return 1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(captures.back()->local_end_point().port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        targets.push_back(to);
    }

    std::atomic<bool> running{true};
    std::thread sender([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const auto gap = std::chrono::duration<double>(DATAGRAM * 8 / (MBITS * 1e6));
        const auto begun = Clock::now();
        size_t offset = 0;
        for (uint64_t n = 0; running.load(); n++) {
            std::this_thread::sleep_until(begun +
                                          std::chrono::duration_cast<Clock::duration>(gap * n));
            if (offset + DATAGRAM > stream.size()) offset = 0;
            for (const sockaddr_in& to : targets)
                ::sendto(fd, stream.data() + offset, DATAGRAM, 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
            offset += DATAGRAM;
        }
        ::close(fd);
    });
    std::vector<double> waits;
    std::thread probe([&] {
        for (uint16_t n = 0; running.load(); n++) {
            const auto before = Clock::now();
            store.add_event(1, static_cast<uint16_t>(60000 + n % 1000),
                            start + Duration(3600.0 * 200 + n % 1000 * 60.0), Duration(60.0), "p",
                            "");
            waits.push_back(ms(Clock::now() - before));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::vector<double> saves;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        const auto before = Clock::now();
        store.save(dir + "/epg.xml");
        saves.push_back(ms(Clock::now() - before));
    }
    running = false;
    sender.join();
    probe.join();
    for (auto& capture : captures)
        capture->stop();

    std::sort(saves.begin(), saves.end());
    std::sort(waits.begin(), waits.end());
    std::printf("saves %zu median_ms %.1f\n", saves.size(), saves[saves.size() / 2]);
    std::printf("store_wait_ms max %.3f p99 %.3f median %.3f\n", waits.back(),
                waits[waits.size() * 99 / 100], waits[waits.size() / 2]);
    uint64_t datagrams = 0, drops = 0;
    for (auto& capture : captures) {
        datagrams += capture->counters().datagrams.load();
        drops += capture->counters().ring_drops.load();
    }
    std::printf("channels %d datagrams %llu ring_drops %llu\n", channels,
                static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(drops));
    return 0;
}
