// cv-epg: decodes the programme guide of transport stream files as a capture would, and turns EPG
// state files into XMLTV.
#include <iostream>
#include <string>
#include <vector>

#include "tools/cv-epg/commands.h"

namespace {

using Corvid::Tools::CommandError;
using Corvid::Tools::UsageError;

const char kUsage[] =
    "usage: cv-epg COMMAND ...\n"
    "\n"
    "  scan FILE.ts... [--huffman PATTERN] [--owner ID] [--all] [--state OUT.xml]\n"
    "        feed each file to the programme guide decoder as a channel capture would (in\n"
    "        1316-byte chunks) and print every service found (id, provider, name) with its\n"
    "        events (id, start, duration, title, description)\n"
    "        --huffman PATTERN  Huffman mapping files: a path whose leaf holds %i for the table\n"
    "                           id, such as /usr/share/corvid/freesat.t%i\n"
    "        --owner ID         the capture id owning the services (default: each file's name)\n"
    "        --all              keep every service an SDT (actual or other) or an EIT names,\n"
    "                           not only the stream's own service\n"
    "        --state OUT.xml    also write the EPG state file\n"
    "  xmltv STATE.xml\n"
    "        write the guide of an EPG state file as an XMLTV document\n"
    "  --help                         this text\n"
    "\n"
    "Exit status 0 on success; otherwise a one-line error on standard error.\n";

Corvid::Tools::ScanOptions parse_scan(const std::vector<std::string>& args) {
    Corvid::Tools::ScanOptions options;
    for (size_t i = 1; i < args.size(); i++) {
        const std::string& word = args[i];
        auto value = [&](std::string& out, const char* what) {
            if (++i >= args.size()) throw UsageError(word + " needs " + what);
            out = args[i];
        };
        if (word == "--huffman") {
            value(options.huffman_pattern, "a file pattern");
        } else if (word == "--owner") {
            value(options.owner, "a capture id");
        } else if (word == "--state") {
            value(options.state_file, "a file name");
        } else if (word == "--all") {
            options.all_services = true;
        } else if (word.size() > 1 && word[0] == '-') {
            throw UsageError("unknown option " + word);
        } else {
            options.files.push_back(word);
        }
    }
    if (options.files.empty()) throw UsageError("scan needs a file (cv-epg --help for usage)");
    return options;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command (cv-epg --help for usage)");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "scan") {
        Corvid::Tools::scan(parse_scan(args), std::cout);
    } else if (command == "xmltv") {
        if (args.size() != 2)
            throw UsageError("xmltv needs one state file (cv-epg --help for usage)");
        Corvid::Tools::xmltv(args[1], std::cout);
    } else {
        throw UsageError("unknown command " + command + " (cv-epg --help for usage)");
    }
    Corvid::Tools::finish_output(std::cout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Corvid::Tools::tool_main("cv-epg", argc, argv, run);
}
