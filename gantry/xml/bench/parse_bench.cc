// Parser throughput on a generated programme-guide document of about 20 MB, side by side with
// libxml2's xmllint --noout on the same file (which also builds and frees a tree). Both are timed
// from here, file read included; xmllint's figure also carries its process start-up, a few
// milliseconds against a parse of tens.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace {

using Gantry::XML::Parser;
using Clock = std::chrono::steady_clock;

// One child of the root per service, each with its events: attributes, text, and now and then a
// character or entity reference, as the guide's state file has them.
std::string make_epg_document(size_t target_bytes) {
    static const char* const words[] = {"news",   "weather", "film",    "drama",   "comedy",
                                        "sport",  "live",    "series",  "episode", "garden",
                                        "travel", "history", "science", "music",   "quiz"};
    std::string doc = "<?xml version=\"1.0\"?>\n<epg>\n";
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245 + 12345, (seed >> 16) & 0x7fff; };
    for (int service = 1; doc.size() < target_bytes; service++) {
        doc += "  <service id=\"ch" + std::to_string(service) +
               "\" history_length=\"1 day\" base_time=\"2024-05-01T00:00:00Z\" service_id=\"" +
               std::to_string(4000 + service) + "\" provider=\"BBC\" name=\"Channel " +
               std::to_string(service) + "\">\n";
        for (int event = 0; event < 1000; event++) {
            int hour = event / 2 % 24, minute = event % 2 * 30;
            char start[32];
            std::snprintf(start, sizeof start, "2024-05-%02dT%02d:%02d:00Z", 1 + event / 48, hour,
                          minute);
            doc += "    <event id=\"" + std::to_string(event) + "\" start=\"" + start +
                   "\" duration=\"00:30:00\" name=\"" + words[next() % 15] + " &amp; " +
                   words[next() % 15] + "\">";
            for (int w = 0; w < 24; w++) {
                doc += words[next() % 15];
                doc += (w % 9 == 8) ? ". Caf&#233; " : " ";
            }
            doc += "</event>\n";
        }
        doc += "  </service>\n";
    }
    doc += "</epg>\n";
    return doc;
}

struct Document {
    Corvid::Testing::TempDir dir;
    std::string path = dir.file("epg.xml");
    std::string text = make_epg_document(20 << 20);
    Document() { Corvid::Testing::write_file(path, text); }
};

const Document& document() {
    static Document doc;
    return doc;
}

// Seconds per iteration of the two side-by-side cases, for the ratios printed at the end: wall
// time, and processor time (user + system), which other work on the machine disturbs less.
double parser_seconds = 0, xmllint_seconds = 0;
double parser_cpu = 0, xmllint_cpu = 0;

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

void BM_ParseFile(benchmark::State& state) {
    const Document& doc = document();
    double total = 0, cpu = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        double cpu_start = thread_cpu_seconds();
        {
            std::ifstream in(doc.path, std::ios::binary);
            Parser parser;
            benchmark::DoNotOptimize(&parser.read(in));
        }
        cpu += thread_cpu_seconds() - cpu_start;
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(elapsed);
        total += elapsed;
    }
    parser_seconds = total / static_cast<double>(state.iterations());
    parser_cpu = cpu / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.text.size()));
}
BENCHMARK(BM_ParseFile)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_Xmllint(benchmark::State& state) {
    const Document& doc = document();
    if (!Corvid::Testing::have_program("xmllint")) {
        state.SkipWithError("xmllint is not installed (Debian package libxml2-utils)");
        return;
    }
    char* argv[] = {const_cast<char*>("xmllint"), const_cast<char*>("--noout"),
                    const_cast<char*>(doc.path.c_str()), nullptr};
    double total = 0, cpu = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        pid_t pid;
        if (posix_spawnp(&pid, "xmllint", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("cannot start xmllint");
            return;
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        cpu += seconds(usage.ru_utime) + seconds(usage.ru_stime);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("xmllint rejected the document");
            return;
        }
        state.SetIterationTime(elapsed);
        total += elapsed;
    }
    xmllint_seconds = total / static_cast<double>(state.iterations());
    xmllint_cpu = cpu / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.text.size()));
}
BENCHMARK(BM_Xmllint)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

// Without the file: the parser alone, from memory.
void BM_ParseString(benchmark::State& state) {
    const Document& doc = document();
    for (auto _ : state) {
        Parser parser;
        benchmark::DoNotOptimize(&parser.read(doc.text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.text.size()));
}
BENCHMARK(BM_ParseString)->Unit(benchmark::kMillisecond);

void BM_WriteTree(benchmark::State& state) {
    Parser parser;
    const Gantry::XML::Element& root = parser.read(document().text);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = root.to_string(true);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_WriteTree)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (parser_seconds > 0 && xmllint_seconds > 0) {
        double mb = static_cast<double>(document().text.size()) / 1e6;
        std::printf("\nDocument: %.1f MB.\n", mb);
        std::printf("Wall time: parser %.0f MB/s, xmllint --noout %.0f MB/s, ratio %.2f\n",
                    mb / parser_seconds, mb / xmllint_seconds, xmllint_seconds / parser_seconds);
        std::printf("CPU time:  parser %.0f MB/s, xmllint --noout %.0f MB/s, ratio %.2f\n",
                    mb / parser_cpu, mb / xmllint_cpu, xmllint_cpu / parser_cpu);
    }
    return 0;
}
