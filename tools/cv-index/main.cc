// cv-index: builds, inspects and searches "CVI2" index files, and extracts trick-play pictures.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cv-index/commands.h"

namespace {

using Corvid::Tools::CommandError;
using Corvid::Tools::UsageError;

const char kUsage[] =
    "usage: cv-index COMMAND ...\n"
    "\n"
    "  build IN.ts [-o OUT]           index a recorded stream as a capture would\n"
    "                                 (default OUT: IN.ts.cvi2)\n"
    "  dump FILE.cvi2 [--data]        the header and every block; --data adds the inline bytes\n"
    "  find FILE.cvi2 NPT [--intra]   the block covering NPT seconds (with --intra the next\n"
    "                                 intra entry): NPT found, stream offset, block position\n"
    "  intra FILE.cvi2 [INTERVAL]     NPT and stream offset of the intra entries, at least\n"
    "                                 INTERVAL seconds apart (default 0: all)\n"
    "  bitrate FILE.cvi2              average bit rate of the indexed stream\n"
    "  extract IN.ts FILE.cvi2 N -o OUT.ts\n"
    "                                 write trick-play entry N (0-based) as a stand-alone stream\n"
    "  --help                         this text\n"
    "\n"
    "Exit status 0 on success; otherwise a one-line error on standard error.\n";

double parse_number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || value != value)
        throw UsageError(std::string("bad ") + what + ": " + text);
    return value;
}

uint64_t parse_count(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0)
        throw UsageError("bad entry number: " + text);
    return value;
}

// Splits arguments into positional words and the value of -o; --data/--intra become flags.
struct Arguments {
    std::vector<std::string> words;
    std::string output;
    bool data = false;
    bool intra = false;
};

Arguments parse(const std::vector<std::string>& words) {
    Arguments args;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "-o") {
            if (++i >= words.size()) throw UsageError("-o needs a file name");
            args.output = words[i];
        } else if (word == "--data") {
            args.data = true;
        } else if (word == "--intra") {
            args.intra = true;
        } else if (word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9') &&
                   word[1] != '.') {
            throw UsageError("unknown option " + word);
        } else {
            args.words.push_back(word);
        }
    }
    return args;
}

void expect(const Arguments& args, size_t least, size_t most, const char* command) {
    if (args.words.size() < least || args.words.size() > most)
        throw UsageError(std::string("wrong arguments for ") + command +
                         " (cv-index --help for usage)");
}

int run(const std::vector<std::string>& words) {
    if (words.empty()) throw UsageError("no command (cv-index --help for usage)");
    const std::string& command = words[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    Arguments args = parse(words);
    if (command == "build") {
        expect(args, 1, 1, "build");
        Corvid::Tools::build_index(args.words[0],
                                   args.output.empty() ? args.words[0] + ".cvi2" : args.output);
    } else if (command == "dump") {
        expect(args, 1, 1, "dump");
        Corvid::Tools::dump_index(args.words[0], args.data, std::cout);
    } else if (command == "find") {
        expect(args, 2, 2, "find");
        Corvid::Tools::find_npt(args.words[0], parse_number(args.words[1], "NPT"), args.intra,
                                std::cout);
    } else if (command == "intra") {
        expect(args, 1, 2, "intra");
        double interval = args.words.size() > 1 ? parse_number(args.words[1], "interval") : 0.0;
        if (interval < 0) throw UsageError("bad interval: " + args.words[1]);
        Corvid::Tools::list_intra(args.words[0], interval, std::cout);
    } else if (command == "bitrate") {
        expect(args, 1, 1, "bitrate");
        Corvid::Tools::print_bit_rate(args.words[0], std::cout);
    } else if (command == "extract") {
        expect(args, 3, 3, "extract");
        if (args.output.empty()) throw UsageError("extract needs -o OUT.ts");
        Corvid::Tools::extract_entry(args.words[0], args.words[1], parse_count(args.words[2]),
                                     args.output);
    } else {
        throw UsageError("unknown command " + command + " (cv-index --help for usage)");
    }
    Corvid::Tools::finish_output(std::cout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Corvid::Tools::tool_main("cv-index", argc, argv, run);
}
