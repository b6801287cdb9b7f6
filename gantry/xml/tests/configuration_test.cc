#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Corvid::Testing::TempDir;
using Corvid::Testing::write_file;
using Gantry::XML::Configuration;
using Gantry::XML::Element;
using Gantry::XML::Parser;

std::string read_text(const std::string& path) {
    std::vector<uint8_t> bytes = Corvid::Testing::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

const char* const daemon_config =
    "<?xml version=\"1.0\"?>\n"
    "<captured>\n"
    "  <log file=\"/var/log/corvid/captured.log\" level=\"\"/>\n"
    "  <captures>\n"
    "    <save interval=\"10 seconds\"/>\n"
    "    <capture id=\"bbc1\">BBC One</capture>\n"
    "    <capture id=\"bbc2\">BBC Two</capture>\n"
    "    <capture>no id</capture>\n"
    "  </captures>\n"
    "  <epg><save interval=\"1 min\"/><prune enabled=\"yes\"/></epg>\n"
    "</captured>\n";

TEST(XmlConfigurationRead, SecondCandidateIsReadButFirstIsWritten) {
    TempDir dir;
    write_file(dir.file("second.xml"), daemon_config);
    std::ostringstream errors;
    Configuration config(std::vector<std::string>{dir.file("first.xml")}, errors);
    config.add_file_name(dir.file("second.xml"));
    ASSERT_TRUE(config.read("captured"));
    EXPECT_EQ(config.get_value("captures/save/@interval"), "10 seconds");
    ASSERT_TRUE(config.set_value("captures/save/@interval", "20 seconds"));
    ASSERT_TRUE(config.write());
    EXPECT_EQ(errors.str(), "");
    EXPECT_EQ(read_text(dir.file("second.xml")), daemon_config);
    EXPECT_FALSE(std::filesystem::exists(dir.file("first.xml~new")));
    Configuration first(dir.file("first.xml"), errors);
    ASSERT_TRUE(first.read("captured"));
    EXPECT_EQ(first.get_value("captures/save/@interval"), "20 seconds");
    EXPECT_EQ(first.get_value("captures/capture[2]"), "BBC Two");
}

TEST(XmlConfigurationRead, NoCandidateOpensGivesFalseWithoutAMessage) {
    TempDir dir;
    std::ostringstream errors;
    Configuration config(dir.file("absent.xml"), errors);
    EXPECT_FALSE(config.read("captured"));
    EXPECT_EQ(errors.str(), "");
    EXPECT_EQ(&config.root(), &Element::none);
}

TEST(XmlConfigurationRead, RootNameIsChecked) {
    TempDir dir;
    write_file(dir.file("c.xml"), "<foo a='1'/>");
    std::ostringstream errors;
    Configuration config(dir.file("c.xml"), errors);
    EXPECT_FALSE(config.read("bar"));
    EXPECT_EQ(errors.str(), "Bad root in config file - expected <bar>, got <foo>\n");
    EXPECT_TRUE(config.read(""));
    EXPECT_EQ(config.root().name(), "foo");

    errors.str("");
    EXPECT_FALSE(config.read_text("<foo/>", "bar"));
    EXPECT_EQ(errors.str(), "Bad root in config text - expected <bar>, got <foo>\n");
}

TEST(XmlConfigurationRead, BadXmlIsReportedAfterTheParsersLine) {
    TempDir dir;
    write_file(dir.file("c.xml"), "<captured>\n<log level=3/>\n</captured>\n");
    std::ostringstream errors;
    Configuration config(dir.file("c.xml"), errors);
    EXPECT_FALSE(config.read("captured"));
    EXPECT_EQ(errors.str(),
              "XML Fatal Error: Attribute value not quoted at line 2\nBad XML in config file\n");
    // Lines count from the start of each read, however often the file is read.
    errors.str("");
    EXPECT_FALSE(config.reload());
    EXPECT_EQ(errors.str(),
              "XML Fatal Error: Attribute value not quoted at line 2\nBad XML in config file\n");
    errors.str("");
    EXPECT_FALSE(config.read_text("<a><b></a>", ""));
    EXPECT_EQ(
        errors.str(),
        "XML Error: Mis-nested tags - expected </b>, opened at line 1, but got </a> at line 1\n"
        "XML Fatal Error: Input stream failed unexpectedly at line 1\n"
        "Bad XML in config file\n");
}

TEST(XmlConfigurationRead, FailedReReadKeepsTheWorkingTree) {
    TempDir dir;
    const std::string path = dir.file("c.xml");
    write_file(path, daemon_config);
    std::ostringstream errors;
    Configuration config(path, errors);
    ASSERT_TRUE(config.read("captured"));

    write_file(path, "<captured><log file='half");
    EXPECT_FALSE(config.reload());
    EXPECT_EQ(config.get_value("log/@file"), "/var/log/corvid/captured.log");

    write_file(path, "<other/>");
    EXPECT_FALSE(config.reload());
    EXPECT_EQ(config.root().name(), "captured");

    EXPECT_FALSE(config.read_text("", "captured"));
    EXPECT_EQ(config.root().name(), "captured");

    write_file(path, "<captured><log file='/tmp/new.log'/></captured>");
    EXPECT_TRUE(config.reload());
    EXPECT_EQ(config.get_value("log/@file"), "/tmp/new.log");
}

TEST(XmlConfigurationRead, ReloadBeforeAnyReadAcceptsAnyRoot) {
    TempDir dir;
    write_file(dir.file("c.xml"), "<anything/>");
    Configuration config(dir.file("c.xml"));
    EXPECT_TRUE(config.reload());
    EXPECT_EQ(config.root().name(), "anything");
}

TEST(XmlConfigurationValues, TypedValuesListsAndMaps) {
    Configuration config("unused");
    ASSERT_TRUE(config.read_text(daemon_config, "captured"));
    // An empty attribute gives the default, not 0.
    EXPECT_EQ(config.get_value_int("log/@level", 2), 2);
    EXPECT_EQ(config.get_value_int("log/@missing", 7), 7);
    EXPECT_TRUE(config.get_value_bool("epg/prune/@enabled"));
    EXPECT_FALSE(config.get_value_bool("epg/prune/@absent"));
    EXPECT_EQ(config.get_values("captures/capture"),
              (std::vector<std::string>{"BBC One", "BBC Two", "no id"}));
    EXPECT_EQ(config.get_map("captures/capture", "id"),
              (std::map<std::string, std::string>{{"bbc1", "BBC One"}, {"bbc2", "BBC Two"}}));
    EXPECT_EQ(config.get_elements("captures/capture").size(), 3u);
    EXPECT_EQ(config.get_element("epg/save")->get_attr("interval"), "1 min");
    EXPECT_EQ(config.get_element("epg/nothing"), nullptr);
}

TEST(XmlConfigurationValues, KeepWhitespaceFlagReachesTheParser) {
    Configuration config("unused", std::cerr, Parser::FOLD_TEXT | Parser::KEEP_WHITESPACE);
    ASSERT_TRUE(config.read_text("<captured><name>  two  spaces </name></captured>", ""));
    EXPECT_EQ(config.get_value("name"), "  two  spaces ");
}

TEST(XmlConfigurationWrite, BuildsAStateFileFromScratch) {
    TempDir dir;
    const std::string path = dir.file("captures.xml");
    std::ostringstream errors;
    Configuration state(path, errors);
    Element& root = state.replace_root("captures");
    root.add("capture").set_attr("id", "bbc1");
    state.ensure_path("save").set_attr("interval", "10");
    ASSERT_TRUE(state.write());
    EXPECT_EQ(read_text(path),
              "<captures>\n  <capture id=\"bbc1\"/>\n  <save interval=\"10\"/>\n</captures>\n");
    EXPECT_TRUE(state.delete_elements("capture"));
    ASSERT_TRUE(state.write());
    EXPECT_EQ(read_text(path), "<captures>\n  <save interval=\"10\"/>\n</captures>\n");
}

TEST(XmlConfigurationWrite, KeepsThePermissionsOfTheFileItReplaces) {
    TempDir dir;
    const std::string path = dir.file("secret.xml");
    write_file(path, "<c/>");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    Configuration config(path);
    ASSERT_TRUE(config.read("c"));
    ASSERT_TRUE(config.write());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(XmlConfigurationWrite, NoFileNameOrNothingToWrite) {
    std::ostringstream errors;
    Configuration unnamed("", errors);
    unnamed.replace_root("c");
    EXPECT_FALSE(unnamed.write());
    EXPECT_EQ(errors.str(), "Config: no filename available for write\n");

    TempDir dir;
    write_file(dir.file("c.xml"), "<c>keep</c>");
    errors.str("");
    Configuration unread(dir.file("c.xml"), errors);
    EXPECT_FALSE(unread.write());
    EXPECT_EQ(errors.str(), "Config: no content to write to " + dir.file("c.xml") + "\n");
    EXPECT_EQ(read_text(dir.file("c.xml")), "<c>keep</c>");
}

TEST(XmlConfigurationWrite, TemporaryFileThatCannotBeCreated) {
    TempDir dir;
    std::ostringstream errors;
    // A directory that does not exist: fails for root too.
    const std::string missing = dir.file("no-such-dir/c.xml");
    Configuration config(missing, errors);
    config.replace_root("c");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(errors.str(),
              "Config: can't create " + missing + "~new for update: No such file or directory\n");

    // An existing file whose temporary name is taken by a directory: the real file stays.
    const std::string path = dir.file("c.xml");
    write_file(path, "<c>old</c>");
    std::filesystem::create_directory(path + "~new");
    errors.str("");
    Configuration blocked(path, errors);
    ASSERT_TRUE(blocked.read("c"));
    blocked.set_value("", "new");
    EXPECT_FALSE(blocked.write());
    EXPECT_EQ(errors.str(), "Config: can't create " + path + "~new for update: Is a directory\n");
    EXPECT_EQ(read_text(path), "<c>old</c>");
}

TEST(XmlConfigurationWrite, UnwritableDirectoryLeavesTheRealFileUnchanged) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write into a read-only directory";
    TempDir dir;
    const std::string sub = dir.file("ro");
    std::filesystem::create_directory(sub);
    const std::string path = sub + "/c.xml";
    write_file(path, "<c>old</c>");
    ASSERT_EQ(::chmod(sub.c_str(), 0555), 0);
    std::ostringstream errors;
    Configuration config(path, errors);
    ASSERT_TRUE(config.read("c"));
    config.set_value("", "new");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(errors.str(),
              "Config: can't create " + path + "~new for update: Permission denied\n");
    EXPECT_EQ(read_text(path), "<c>old</c>");
    ::chmod(sub.c_str(), 0755);
}

TEST(XmlConfigurationWrite, FailedWriteRemovesTheTemporaryFile) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    const std::string path = dir.file("c.xml");
    write_file(path, "<c>old</c>");
    // The temporary name leads to a device that is always full.
    ASSERT_EQ(::symlink("/dev/full", (path + "~new").c_str()), 0);
    std::ostringstream errors;
    Configuration config(path, errors);
    ASSERT_TRUE(config.read("c"));
    EXPECT_FALSE(config.write());
    EXPECT_EQ(errors.str(), "Config: Failed writing new content to temporary file " + path +
                                "~new: No space left on device\n");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path + "~new")));
    EXPECT_EQ(read_text(path), "<c>old</c>");
}

TEST(XmlConfigurationWrite, FailedRenameRemovesTheTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file("c.xml");
    // A non-empty directory where the file should be cannot be renamed over.
    std::filesystem::create_directories(path + "/inside");
    std::ostringstream errors;
    Configuration config(path, errors);
    config.replace_root("c");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(errors.str(),
              "Config: Can't rename " + path + "~new to " + path + ": Is a directory\n");
    EXPECT_FALSE(std::filesystem::exists(path + "~new"));
}

}  // namespace
