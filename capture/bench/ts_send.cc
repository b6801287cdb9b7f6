// ts-send: a paced multicast sender for the ingest benchmark. Loops a recorded transport stream,
// cut into 7-packet datagrams, to one or more groups (consecutive addresses, same port), at an
// aggregate bit rate, many datagrams per system call (sendmmsg); with "rtp", each behind a 12-byte
// RTP header (payload type 33, a sequence per group).
//
//   ts-send FILE GROUP PORT CHANNELS MBITS SECONDS [rtp]
//
// Prints the datagrams sent to each group on one line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t DATAGRAM = 7 * 188;
constexpr size_t BATCH = 64;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && !(argc == 8 && std::string(argv[7]) == "rtp")) {
        std::fprintf(stderr, "usage: ts-send FILE GROUP PORT CHANNELS MBITS SECONDS [rtp]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> stream((std::istreambuf_iterator<char>(in)), {});
    const size_t datagrams = stream.size() / DATAGRAM;
    in_addr first{};
    if (datagrams == 0 || ::inet_pton(AF_INET, argv[2], &first) != 1) {
        std::fprintf(stderr, "ts-send: no whole datagram in %s, or bad group %s\n", argv[1],
                     argv[2]);
        return 2;
    }
    const int port = std::atoi(argv[3]);
    const size_t channels = static_cast<size_t>(std::atoi(argv[4]));
    const double rate = std::atof(argv[5]) * 1e6 / 8 / DATAGRAM;  // datagrams per second
    const double seconds = std::atof(argv[6]);
    const bool rtp = argc == 8;

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int ttl = 1, buffer = 8 << 20;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    std::vector<sockaddr_in> targets(channels);
    for (size_t c = 0; c < channels; c++) {
        targets[c].sin_family = AF_INET;
        targets[c].sin_port = htons(static_cast<uint16_t>(port));
        targets[c].sin_addr.s_addr = htonl(ntohl(first.s_addr) + static_cast<uint32_t>(c));
    }
    std::vector<uint64_t> sent(channels, 0);
    mmsghdr messages[BATCH];
    iovec vectors[BATCH][2];
    uint8_t headers[BATCH][12] = {};
    uint64_t total = 0;
    const uint64_t goal = static_cast<uint64_t>(rate * seconds);
    const auto start = std::chrono::steady_clock::now();
    while (total < goal) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        uint64_t due = std::min<uint64_t>(goal, static_cast<uint64_t>(elapsed * rate));
        if (due <= total) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        while (total < due) {
            const size_t count = std::min<uint64_t>(BATCH, due - total);
            for (size_t i = 0; i < count; i++) {
                const size_t channel = (total + i) % channels;
                const size_t index = sent[channel] % datagrams;
                headers[i][0] = 0x80;
                headers[i][1] = 33;
                headers[i][2] = static_cast<uint8_t>(sent[channel] >> 8);
                headers[i][3] = static_cast<uint8_t>(sent[channel]);
                vectors[i][0] = {headers[i], rtp ? sizeof headers[i] : 0};
                vectors[i][1] = {stream.data() + index * DATAGRAM, DATAGRAM};
                messages[i].msg_hdr = msghdr{};
                messages[i].msg_hdr.msg_name = &targets[channel];
                messages[i].msg_hdr.msg_namelen = sizeof targets[channel];
                messages[i].msg_hdr.msg_iov = vectors[i];
                messages[i].msg_hdr.msg_iovlen = 2;
                sent[channel]++;
            }
            int done = ::sendmmsg(fd, messages, static_cast<unsigned>(count), 0);
            if (done < 0) {
                std::perror("ts-send: sendmmsg");
                return 1;
            }
            // Whatever was not taken is sent again in the next round.
            for (size_t i = static_cast<size_t>(done); i < count; i++)
                sent[(total + i) % channels]--;
            total += static_cast<uint64_t>(done);
        }
    }
    for (size_t c = 0; c < channels; c++)
        std::printf("%s%llu", c ? " " : "", static_cast<unsigned long long>(sent[c]));
    std::printf("\n");
    ::close(fd);
    return 0;
}
