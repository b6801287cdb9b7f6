// cv-index: builds, inspects and searches "CVI2" index files, and extracts trick-play pictures.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "capture/hls.h"
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
    "  playlist FOLDER ID START [END] the capture ID's segment files in FOLDER that hold START\n"
    "                                 to END (ISO times; none or 0: to the end), with the\n"
    "                                 start and end times and NPTs\n"
    "  hls FOLDER ID START [END] [--iframes] [--target SECONDS] [--uri-prefix TEXT]\n"
    "                                 the HLS media (or I-frame) playlist of that range, byte\n"
    "                                 ranges of the segment files cut at intra entries\n"
    "    segment folders take --prefix TEXT, --suffix .ts, --index-suffix .cvi2 and\n"
    "    --segment-length SECONDS (3600)\n"
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

Gantry::Time::Stamp parse_time(const std::string& text, const char* what) {
    if (text == "0") return {};
    Gantry::Time::Stamp time = Gantry::Time::Stamp::parse(text, true);
    if (!time.valid()) throw UsageError(std::string("bad ") + what + " time: " + text);
    return time;
}

// Options that take a value, beside -o.
const char* const kValueOptions[] = {"--target", "--uri-prefix",   "--prefix",
                                     "--suffix", "--index-suffix", "--segment-length"};

// Splits arguments into positional words and option values; --data, --intra and --iframes become
// flags.
struct Arguments {
    std::vector<std::string> words;
    std::string output;
    std::map<std::string, std::string> values;
    bool data = false;
    bool intra = false;
    bool iframes = false;

    std::string value(const std::string& option, const std::string& otherwise) const {
        auto found = values.find(option);
        return found == values.end() ? otherwise : found->second;
    }
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
        } else if (word == "--iframes") {
            args.iframes = true;
        } else if (std::find(std::begin(kValueOptions), std::end(kValueOptions), word) !=
                   std::end(kValueOptions)) {
            if (++i >= words.size()) throw UsageError(word + " needs a value");
            args.values[word] = words[i];
        } else if (word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9') &&
                   word[1] != '.') {
            throw UsageError("unknown option " + word);
        } else {
            args.words.push_back(word);
        }
    }
    return args;
}

Corvid::Tools::SegmentFolder segment_folder(const Arguments& args) {
    Corvid::Tools::SegmentFolder folder;
    folder.folder = args.words[0];
    folder.id = args.words[1];
    folder.prefix = args.value("--prefix", folder.prefix);
    folder.suffix = args.value("--suffix", folder.suffix);
    folder.index_suffix = args.value("--index-suffix", folder.index_suffix);
    folder.segment_length = parse_number(args.value("--segment-length", "3600"), "segment length");
    return folder;
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
    } else if (command == "playlist" || command == "hls") {
        expect(args, 3, 4, command.c_str());
        const auto start = parse_time(args.words[2], "start");
        const auto end =
            args.words.size() > 3 ? parse_time(args.words[3], "end") : Gantry::Time::Stamp();
        if (!start.valid()) throw UsageError("bad start time: 0");
        if (command == "playlist") {
            Corvid::Tools::print_playlist(segment_folder(args), start, end, std::cout);
        } else {
            Corvid::Capture::HlsOptions options;
            options.iframes = args.iframes;
            options.target = parse_number(args.value("--target", "6"), "target");
            if (!(options.target > 0))
                throw UsageError("bad target: " + args.value("--target", ""));
            options.uri_prefix = args.value("--uri-prefix", "");
            Corvid::Tools::print_hls(segment_folder(args), start, end, options, std::cout);
        }
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
