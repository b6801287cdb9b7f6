// capture-run: records CHANNELS consecutive groups with our captures (auto mode, segments with
// indexes, guide decoding) until SIGINT or SIGTERM, then prints per capture what it received and
// lost, and the process's CPU seconds and resident memory. For the ingest benchmark script. The
// sources are left to tell RTP from bare datagrams themselves.
//
//   capture-run GROUP PORT CHANNELS DIR
#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/xml/element.h"

namespace {

volatile sig_atomic_t stop_flag = 0;

void on_signal(int) {
    stop_flag = 1;
}

std::string status_line(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(key)) return line;
    return key;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Corvid::Capture;
    if (argc != 5) {
        std::fprintf(stderr, "usage: capture-run GROUP PORT CHANNELS DIR\n");
        return 2;
    }
    in_addr first{};
    ::inet_pton(AF_INET, argv[1], &first);
    const int channels = std::atoi(argv[3]);
    ::signal(SIGINT, on_signal);
    ::signal(SIGTERM, on_signal);

    EPGStore store;
    EPGDecoder decoder(store);
    std::vector<std::unique_ptr<Capture>> captures;
    for (int c = 0; c < channels; c++) {
        in_addr group{htonl(ntohl(first.s_addr) + static_cast<uint32_t>(c))};
        Gantry::XML::Element definition("capture");
        definition.set_attr("id", "ch" + std::to_string(c));
        Gantry::XML::Element& source = definition.make_child("source");
        source.set_attr("address", inet_ntoa(group));
        source.set_attr("port", argv[2]);
        definition.make_child("file").set_attr("prefix", std::string(argv[4]) + "/");
        definition.make_child("index").set_attr("suffix", ".idx");
        definition.make_child("segment").set_attr("length", "1 min");
        captures.push_back(
            std::make_unique<Capture>(definition, Gantry::XML::Element::none, decoder, true));
        if (!captures.back()->valid()) return 1;
    }
    std::printf("ready %s\n", status_line("VmRSS").c_str());
    std::fflush(stdout);
    while (!stop_flag)
        ::pause();
    for (auto& capture : captures)
        capture->stop();
    for (auto& capture : captures) {
        const CaptureCounters& n = capture->counters();
        std::printf(
            "%s datagrams %llu bytes %llu ring_drops %llu kernel_drops %llu rtp_lost %llu "
            "cc_errors %llu write_errors %llu\n",
            capture->id().c_str(), static_cast<unsigned long long>(n.datagrams.load()),
            static_cast<unsigned long long>(n.bytes.load()),
            static_cast<unsigned long long>(n.ring_drops.load()),
            static_cast<unsigned long long>(n.kernel_drops.load()),
            static_cast<unsigned long long>(n.rtp_lost.load()),
            static_cast<unsigned long long>(n.cc_errors.load()),
            static_cast<unsigned long long>(n.write_errors.load()));
    }
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("cpu %.3f\n", static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    return 0;
}
