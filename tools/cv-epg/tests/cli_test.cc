// cv-epg run as a program on the shared captures. Oracles: the EPG another tool decoded from the
// French capture (reference/tsduck-test-184.2.txt), the Freesat title given with the capture's
// provenance, and xmllint for the XML written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "epg/epg_store.h"
#include "epg/utf8.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using ::testing::HasSubstr;
using Testing::run_command;
using Testing::shell_quote;
using ::testing::StartsWith;
using Testing::TempDir;

struct Result {
    int status = -1;
    std::string out, err;
};

Result cv_epg(const std::string& arguments) {
    TempDir dir;
    Result r;
    r.out = run_command(shell_quote(Testing::tool_path("cv-epg")) + " " + arguments + " 2>" +
                            shell_quote(dir.file("err")),
                        &r.status);
    auto err = Testing::read_file(dir.file("err"));
    r.err.assign(err.begin(), err.end());
    return r;
}

std::vector<EPGServiceListing> load_guide(const std::string& state_file) {
    EPGStore store;
    EXPECT_TRUE(store.load(state_file));
    std::vector<EPGServiceListing> guide;
    store.get_all(guide);
    return guide;
}

std::string squeeze(const std::string& text) {
    std::istringstream words(text);
    std::string out, word;
    while (words >> word)
        out += (out.empty() ? "" : " ") + word;
    return out;
}

struct ReferenceEvent {
    std::string service, start;  // ISO 8601
    int minutes = 0, id = 0;
    std::string title, description;  // wrapped lines joined
};

// The reference lists services ("6. M6" over a line of dashes), dates ("2019/01/22"), events
// ("  01:30:00 to 01:35:00 (5 mn), event id: 0x000F (15)") and their "Title:", "Description:"
// and "Extended description:" fields, each wrapped onto lines indented by four spaces.
std::vector<ReferenceEvent> read_reference(const std::string& path) {
    std::ifstream in(path);
    std::vector<ReferenceEvent> events;
    std::string previous, service, date, *field = nullptr;
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
            events.push_back({service, date + "T" + start + "Z", minutes, id, "", ""});
            field = nullptr;
        } else if (events.empty()) {
        } else if (line.starts_with("    Title: ")) {
            *(field = &events.back().title) = line.substr(11);
        } else if (line.starts_with("    Description: ")) {
            *(field = &events.back().description) = line.substr(17);
        } else if (line.starts_with("    Extended description:")) {
            field = nullptr;
        } else if (line.starts_with("    ") && field) {
            *field += " " + line.substr(4);
        }
    }
    return events;
}

TEST(CvEpg, UsageAndFailuresAreOneLine) {
    Result help = cv_epg("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("scan FILE.ts... [--huffman PATTERN] [--owner ID] [--all]"));
    EXPECT_THAT(help.out, HasSubstr("xmltv STATE.xml"));

    TempDir dir;
    auto expect_failure = [](const std::string& args, int status, const std::string& start,
                             const std::string& reason = "") {
        Result r = cv_epg(args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_THAT(r.err, StartsWith("cv-epg: " + start)) << args;
        EXPECT_THAT(r.err, HasSubstr(reason)) << args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    };
    for (const std::string usage : {"", "frobnicate", "scan", "scan --bogus x.ts",
                                    "scan x.ts --owner", "xmltv", "xmltv a.xml b.xml"})
        expect_failure(usage, 2, "");
    expect_failure(shell_quote(dir.file("none.ts")), 2, "");  // a file without a command
    expect_failure("scan " + shell_quote(dir.file("none.ts")), 1,
                   "cannot open " + dir.file("none.ts") + ": No such file or directory\n");
    expect_failure("xmltv " + shell_quote(dir.file("none.xml")), 1, "cannot read ");

    CORVID_REQUIRE_SHARED(ts, "testdata/ts/epg/tsduck-test-184.ts");
    expect_failure("scan " + shell_quote(ts) + " --state " + shell_quote(dir.file("no/dir/s.xml")),
                   1, "", "cannot write " + dir.file("no/dir/s.xml"));
    expect_failure("scan " + shell_quote(ts) + " --huffman " + shell_quote(dir.file("freesat.t")),
                   1, "", "single '%i' marker");
}

// The part of xmltv.dtd that cv-epg uses, as strict as the original or stricter.
const char* const XMLTV_DTD = R"(
<!ELEMENT tv (channel*, programme*)> <!ATTLIST tv generator-info-name CDATA #IMPLIED>
<!ELEMENT channel (display-name+)> <!ATTLIST channel id CDATA #REQUIRED>
<!ELEMENT programme (title+, desc*)>
<!ATTLIST programme start CDATA #REQUIRED stop CDATA #IMPLIED channel CDATA #REQUIRED>
<!ELEMENT display-name (#PCDATA)> <!ELEMENT title (#PCDATA)> <!ELEMENT desc (#PCDATA)>
)";

// The whole French multiplex, scanned as scripts/run shows it: "| head" under pipefail. The early
// close is no failure, and the state file is still written whole: every event the other tool
// decoded is in it, with its title, description, start and duration. The accented French text
// (selector 0x05, ISO 8859-9) is the proof that selectors are honoured.
TEST(CvEpg, ReaderClosingThePipeEarlyStateAgreesWithTheReferenceAndXmltv) {
    CORVID_REQUIRE_SHARED(ts, "testdata/ts/epg/tsduck-test-184.ts");
    CORVID_REQUIRE_SHARED(reference, "testdata/reference/tsduck-test-184.2.txt");
    CORVID_REQUIRE_PROGRAM("xmllint");
    TempDir dir;
    const std::string state = dir.file("s.xml"), xmltv = dir.file("guide.xml");
    int status = -1;
    std::string first = run_command(
        "bash -c " + shell_quote("set -o pipefail; " + shell_quote(Testing::tool_path("cv-epg")) +
                                 " scan " + shell_quote(ts) + " --all --owner fr --state " +
                                 shell_quote(state) + " | head -1"),
        &status);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(first, StartsWith("Service "));

    std::map<uint16_t, const EPGServiceListing*> by_id;
    std::map<std::pair<std::string, int>, const EPGEvent*> by_name_and_id;
    size_t events = 0;
    auto guide = load_guide(state);
    for (const auto& listing : guide) {
        by_id[listing.service.service_id] = &listing;
        events += listing.events.size();
        for (const auto& e : listing.events)
            by_name_and_id[{listing.service.name, e.id}] = &e;
    }
    // The services of the SDT actual, each with events.
    std::string actual;
    for (uint16_t id : {0x0401, 0x0402, 0x0407, 0x0415, 0x0416}) {
        ASSERT_TRUE(by_id.contains(id)) << id;
        const EPGServiceListing& l = *by_id[id];
        actual += l.service.provider + "/" + l.service.name + (l.events.empty() ? " none;" : ";");
    }
    EXPECT_EQ(actual, "Multi4/M6;Multi4/W9;Multi4/Arte;Multi4/France 5;Multi4/6ter;");
    // An SDT-other name written with selector 0x0B (ISO 8859-15).
    EXPECT_TRUE(std::any_of(guide.begin(), guide.end(),
                            [](auto& l) { return l.service.name == "France \u00D4"; }));
    auto expected = read_reference(reference);
    ASSERT_EQ(expected.size(), 346u);
    size_t accented = 0;
    for (const ReferenceEvent& want : expected) {
        const EPGEvent* got = by_name_and_id[{want.service, want.id}];
        ASSERT_NE(got, nullptr) << want.service << " event " << want.id << " " << want.title;
        EXPECT_EQ(got->start.iso(), want.start) << want.title;
        // The reference gives whole minutes, cut down.
        EXPECT_EQ(static_cast<int>(got->duration.seconds()) / 60, want.minutes) << want.title;
        EXPECT_EQ(got->name, want.title);
        EXPECT_EQ(squeeze(got->description), squeeze(want.description)) << want.title;
        if (want.title.find("\xC3") != std::string::npos) accented++;
    }
    EXPECT_GT(accented, 10u);

    Result r = cv_epg("xmltv " + shell_quote(state));
    ASSERT_EQ(r.status, 0) << r.err;
    Testing::write_file(xmltv, r.out);
    Testing::write_file(dir.file("xmltv.dtd"), XMLTV_DTD);
    std::string lint =
        run_command("xmllint --noout --dtdvalid " + shell_quote(dir.file("xmltv.dtd")) + " " +
                        shell_quote(xmltv) + " 2>&1",
                    &status);
    EXPECT_EQ(status, 0) << lint;
    auto xpath = [&](const std::string& expression) {
        return run_command("xmllint --xpath " + shell_quote(expression) + " " + shell_quote(xmltv));
    };
    EXPECT_EQ(std::stoul(xpath("count(/tv/programme)")), events);
    EXPECT_EQ(std::stoul(xpath("count(/tv/channel)")), guide.size());
    // TF1's midday news, as the reference has it: 12:00:00 to 12:55:00.
    const std::string news = "/tv/programme[title='Le journal' and @channel='1537.fr']";
    EXPECT_THAT(xpath("concat(" + news + "/@start, '|', " + news + "/@stop, '|', " +
                      "/tv/channel[@id='1537.fr']/display-name)"),
                HasSubstr("20190122120000 +0000|20190122125500 +0000|TF1"));
}

// Each listing (and state file) must be valid UTF-8 (and XML), whatever the capture holds.
TEST(CvEpg, ScanListings) {
    CORVID_REQUIRE_SHARED(t1, "testdata/huffman/freesat.t1");
    CORVID_REQUIRE_PROGRAM("xmllint");
    const std::string freesat =
        "--all --huffman " + shell_quote(t1.substr(0, t1.size() - 1) + "%i");
    const struct {
        const char* capture;
        std::string arguments;
        std::vector<std::string> has, lacks;
    } cases[] = {
        // A channel capture keeps its own service: the lowest program of the PAT (M6, 0x0401).
        {"tsduck-test-184.ts",
         "--owner m6",
         {"Service 1025 (0x0401)  provider: Multi4  name: M6  owner: m6",
          "2019-01-22T12:55:00Z  02:00:00  La perle de l'amour"},
         {"\nService "}},
        // An EIT for another service of the multiplex, its title compressed with table 1.
        {"tsduck-test-142.ts",
         freesat,
         {"Service 41056 (0xa060)",
          "49091  2020-11-02T17:00:00Z  01:00:00  Lulu Guinness Accessories", "Pointless",
          "Damaged data skipped"},  // a plain section; bad sync bytes
         {}},
        {"tsduck-test-142.ts", "--all", {"Pointless"}, {"Lulu Guinness"}},
        // Latin-1 bytes where the default table is promised.
        {"tsduck-test-030.ts", "--all", {}, {}},
    };
    for (const auto& c : cases) {
        CORVID_REQUIRE_SHARED(ts, std::string("testdata/ts/epg/") + c.capture);
        TempDir dir;
        const std::string what = std::string(c.capture) + " " + c.arguments;
        Result r = cv_epg("scan " + shell_quote(ts) + " " + c.arguments + " --state " +
                          shell_quote(dir.file("s.xml")));
        ASSERT_EQ(r.status, 0) << what << ": " << r.err;
        for (const auto& text : c.has)
            EXPECT_THAT(r.out, HasSubstr(text)) << what;
        for (const auto& text : c.lacks)
            EXPECT_THAT(r.out, Not(HasSubstr(text))) << what;
        EXPECT_TRUE(is_clean_utf8(r.out)) << what;
        int status = -1;
        run_command("xmllint --noout " + shell_quote(dir.file("s.xml")), &status);
        EXPECT_EQ(status, 0) << what;
        size_t events = 0;
        for (const auto& listing : load_guide(dir.file("s.xml")))
            events += listing.events.size();
        EXPECT_GT(events, 0u) << what;
    }
}

}  // namespace
}  // namespace Corvid::Capture
