// cv-epg run as a program on the shared captures. Oracles: the EPG another tool decoded from the
// French capture (reference/tsduck-test-184.2.txt), and xmllint for the XMLTV written.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "epg/epg_store.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Testing::run_command;
using Testing::shell_quote;

// cv-epg with the (shell-quoted) arguments: its output and standard error.
std::string cv_epg(const std::string& arguments, int* status) {
    return run_command(shell_quote(Testing::tool_path("cv-epg")) + " " + arguments + " 2>&1",
                       status);
}

TEST(CvEpg, UsageAndFailuresAreOneLine) {
    CORVID_REQUIRE_SHARED(ts, "testdata/ts/epg/tsduck-test-184.ts");
    Testing::TempDir dir;
    int status = -1;
    EXPECT_NE(cv_epg("--help", &status).find("xmltv STATE.xml"), std::string::npos);
    EXPECT_EQ(status, 0);
    const auto fails = [&](const std::string& arguments, int expected) {
        const std::string out = cv_epg(arguments, &status);
        EXPECT_EQ(status, expected) << arguments;
        EXPECT_TRUE(out.starts_with("cv-epg: ") && out.find('\n') == out.size() - 1) << out;
    };
    for (const std::string& usage : {std::string(), shell_quote(ts) /* no command */,
                                     std::string("scan --bogus x.ts"), std::string("xmltv a b")})
        fails(usage, 2);
    for (const std::string& failing :
         {"scan " + shell_quote(dir.file("none.ts")), "xmltv " + shell_quote(dir.file("none.xml")),
          "scan " + shell_quote(ts) + " --state " + shell_quote(dir.file("no/dir/s.xml")),
          "scan " + shell_quote(ts) + " --huffman " + shell_quote(dir.file("freesat.t"))})
        fails(failing, 1);
}

// The reference's events as "service|id|start|minutes|title". It lists services ("6. M6" over a
// line of dashes), dates ("2019/01/22"), events ("  01:30:00 to 01:35:00 (5 mn), event id: 0x000F
// (15)") and their fields ("    Title: ...", never wrapped).
std::vector<std::string> read_reference(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> events;
    std::string previous, service, date;
    for (std::string line; std::getline(in, line); previous = line) {
        char start[16], end[16], hex[16];
        int minutes = 0, id = 0;
        if (line.starts_with("---")) {
            service = previous.substr(previous.find(". ") + 2);
        } else if (line.size() == 10 && line[4] == '/' && line[7] == '/') {
            date = line.substr(0, 4) + "-" + line.substr(5, 2) + "-" + line.substr(8, 2);
        } else if (!line.starts_with("   ") &&
                   std::sscanf(line.c_str(), " %15s to %15s (%d mn), event id: %15s (%d)", start,
                               end, &minutes, hex, &id) == 5) {
            events.push_back(service + "|" + std::to_string(id) + "|" + date + "T" + start + "Z|" +
                             std::to_string(minutes) + "|");
        } else if (line.starts_with("    Title: ")) {
            events.back() += line.substr(11);
        }
    }
    return events;
}

// The whole French multiplex, scanned as users read it: "| head" under pipefail. The early close
// is no failure, and the state file is still written whole: every event the other tool decoded is
// in it, with its start, duration and title (accented: the character tables are honoured; the
// texts themselves are the EPG decoder tests'). XMLTV written from it is valid (against the part of
// xmltv.dtd that cv-epg uses) and holds every event.
TEST(CvEpg, StateOfAnEarlyClosedScanAgreesWithTheReferenceAndXmltv) {
    CORVID_REQUIRE_SHARED(ts, "testdata/ts/epg/tsduck-test-184.ts");
    CORVID_REQUIRE_SHARED(reference, "testdata/reference/tsduck-test-184.2.txt");
    CORVID_REQUIRE_PROGRAM("xmllint");
    Testing::TempDir dir;
    const std::string state = dir.file("s.xml"), xmltv = dir.file("guide.xml");
    int status = -1;
    const std::string scan = shell_quote(Testing::tool_path("cv-epg")) + " scan " +
                             shell_quote(ts) + " --all --owner fr --state " + shell_quote(state);
    EXPECT_TRUE(
        run_command("bash -c " + shell_quote("set -o pipefail; " + scan + " | head -1"), &status)
            .starts_with("Service "));
    EXPECT_EQ(status, 0);

    EPGStore store;
    ASSERT_TRUE(store.load(state));
    std::vector<EPGServiceListing> guide;
    store.get_all(guide);
    std::map<std::string, std::string> events;  // "service|id|" -> the rest
    for (const auto& listing : guide)
        for (const auto& e : listing.events)
            events[listing.service.name + "|" + std::to_string(e.id) + "|"] =
                e.start.iso() + "|" + std::to_string(static_cast<int>(e.duration.seconds()) / 60) +
                "|" + e.name;
    const auto expected = read_reference(reference);
    ASSERT_EQ(expected.size(), 346u);
    for (const std::string& want : expected) {
        const std::string key = want.substr(0, want.find('|', want.find('|') + 1) + 1);
        EXPECT_EQ(key + events[key], want);
    }

    Testing::write_file(xmltv, cv_epg("xmltv " + shell_quote(state), &status));
    ASSERT_EQ(status, 0);
    Testing::write_file(dir.file("xmltv.dtd"), R"(
<!ELEMENT tv (channel*, programme*)> <!ATTLIST tv generator-info-name CDATA #IMPLIED>
<!ELEMENT channel (display-name+)> <!ATTLIST channel id CDATA #REQUIRED>
<!ELEMENT programme (title+, desc*)>
<!ATTLIST programme start CDATA #REQUIRED stop CDATA #IMPLIED channel CDATA #REQUIRED>
<!ELEMENT display-name (#PCDATA)> <!ELEMENT title (#PCDATA)> <!ELEMENT desc (#PCDATA)>)");
    const std::string xmllint = "xmllint --dtdvalid " + shell_quote(dir.file("xmltv.dtd")) +
                                " --xpath 'count(/tv/programme)' " + shell_quote(xmltv) + " 2>&1";
    EXPECT_EQ(run_command(xmllint, &status), std::to_string(events.size()) + "\n");
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace Corvid::Capture
