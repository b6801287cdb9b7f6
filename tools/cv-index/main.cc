// cv-index: builds, inspects and searches "CVI2" index files, and extracts trick-play pictures.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "gantry/log/log.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"
#include "tools/cv-index/commands.h"

namespace {

using Corvid::Tools::CommandError;

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

struct UsageError : CommandError {
    using CommandError::CommandError;
};

// Keeps the last error the libraries logged, so that a failure is reported on one line with its
// reason. The tool is single-threaded; the lock is the channel's contract.
class LastError final : public Gantry::Log::Channel {
  public:
    void log(const Gantry::Log::Message& message) override {
        if (message.level != Gantry::Log::error_level) return;
        Gantry::MT::Lock lock(mutex_);
        text_ = message.text;
    }
    bool accepts(int level) const override { return level == Gantry::Log::error_level; }
    std::string text() const {
        Gantry::MT::Lock lock(mutex_);
        return text_;
    }

  private:
    std::string text_ GANTRY_GUARDED_BY(mutex_);
};

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

Arguments parse(int argc, char** argv, int from) {
    Arguments args;
    for (int i = from; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "-o") {
            if (++i >= argc) throw UsageError("-o needs a file name");
            args.output = argv[i];
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

int run(int argc, char** argv) {
    if (argc < 2) throw UsageError("no command (cv-index --help for usage)");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    Arguments args = parse(argc, argv, 2);
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
    std::cout.flush();
    if (!std::cout) throw CommandError("cannot write the output");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    LastError last_error;
    Gantry::Log::logger.connect(last_error);
    int status;
    try {
        status = run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "cv-index: " << error.what() << '\n';
        status = 2;
    } catch (const std::exception& error) {
        std::string reason = last_error.text();
        std::cerr << "cv-index: " << error.what() << (reason.empty() ? "" : ": ") << reason << '\n';
        status = 1;
    }
    Gantry::Log::logger.disconnect(last_error);
    return status;
}
