// Playlists over a day of one-hour segments, against listing and stat-ing the same folder.
//
// The folder holds 24 segments of a 4 Mbit/s channel with real-size indexes: one hour's index
// (index2/bench/hour_index.h) and one
// sparse segment carrying a PAT, a PMT and the picture's first packet at each intra entry, both
// hard-linked under the 24 names, so the day costs the disk one hour.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "capture/hls.h"
#include "capture/playlist.h"
#include "index2/bench/hour_index.h"
#include "tests/support/test_support.h"

namespace {

using namespace Corvid::Capture;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

const Stamp day("2026-03-01T00:00:00Z");
constexpr uint64_t kBytesPerSecond = Corvid::Index2::Bench::hour_bytes_per_second;

std::string packet(uint8_t pid_high, uint8_t pid_low, std::string payload) {
    std::string p = {'\x47', static_cast<char>(0x40 | pid_high), static_cast<char>(pid_low), 0x10};
    p += payload;
    p.resize(188, '\xFF');
    return p;
}

struct Day {
    Corvid::Testing::TempDir dir;
    PlaylistSettings settings;
    bool ok = false;

    Day() {
        settings.naming = {dir.path() + "/", "ch1", ".ts", ".cvi2"};
        const std::string segment = dir.file("hour.ts"), index = dir.file("hour.cvi2");
        const std::string pat =
            packet(0, 0, std::string("\0\0\xB0\x0D\0\x01\xC1\0\0\0\x01\xF0\0", 13));
        const std::string pmt = packet(0x10, 0, std::string("\0\x02\xB0\x12\0\x01\xC1\0\0", 9));
        const std::string video = packet(0x01, 0, std::string("\0\0\x01\xE0", 4));
        const int fd = ::open(segment.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string psi = pat + pmt + video;
        if (fd < 0 || !Corvid::Index2::Bench::write_hour_index(index, pat + pmt, [&](uint64_t at) {
                return ::pwrite(fd, psi.data(), psi.size(), static_cast<off_t>(at - 376)) >= 0;
            }))
            return;
        const uint64_t size = 3600 * kBytesPerSecond / 188 * 188;
        if (::pwrite(fd, video.data(), 188, static_cast<off_t>(size - 188 * 20)) < 0 ||
            ::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::close(fd) != 0)
            return;
        for (int hour = 0; hour < 24; ++hour) {
            const std::string name = settings.naming.file_name(day + Duration(hour * 3600));
            if (::link(segment.c_str(), name.c_str()) != 0 ||
                ::link(index.c_str(), settings.naming.index_name(name).c_str()) != 0)
                return;
        }
        ok = true;
    }
};

Day& the_day() {
    static Day day;
    return day;
}

// Baseline: what any playlist has to do at least, list the folder and stat every file.
void BM_ListAndStat(benchmark::State& state) {
    const std::string folder = the_day().dir.path();
    for (auto _ : state) {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        size_t found = 0;
        struct stat st;
        while (const dirent* entry = ::readdir(dir.get()))
            found += ::stat((folder + "/" + entry->d_name).c_str(), &st) == 0;
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_ListAndStat);

void BM_PlaylistOfTheDay(benchmark::State& state) {
    Day& d = the_day();
    if (!d.ok) return state.SkipWithError("cannot make the segment folder");
    for (auto _ : state) {
        Playlist playlist;
        if (!build_playlist(d.settings, day + Duration(1800), {}, false, playlist))
            return state.SkipWithError("no playlist");
        benchmark::DoNotOptimize(playlist);
    }
}
BENCHMARK(BM_PlaylistOfTheDay);

// One hour, inside one file; arg 1: the I-frame playlist.
void BM_HlsOfAnHour(benchmark::State& state) {
    Day& d = the_day();
    if (!d.ok) return state.SkipWithError("cannot make the segment folder");
    HlsOptions options;
    options.iframes = state.range(0) != 0;
    options.now = day + Duration(86400 * 2);
    size_t segments = 0;
    for (auto _ : state) {
        HlsPlaylist playlist;
        const Stamp start = day + Duration(5 * 3600);
        if (!build_hls(d.settings, start, start + Duration(3599), options, playlist))
            return state.SkipWithError("no HLS playlist");
        segments = playlist.segments.size();
        benchmark::DoNotOptimize(playlist.text());
    }
    state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_HlsOfAnHour)->Arg(0)->Arg(1)->ArgNames({"iframes"});

}  // namespace

BENCHMARK_MAIN();
