#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Corvid::Testing::write_file;
using Gantry::XML::Configuration;
using Gantry::XML::Element;
using Gantry::XML::Parser;

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

class XmlConfiguration : public ::testing::Test {
  protected:
    static std::string contents(const std::string& file) {
        std::vector<uint8_t> bytes = Corvid::Testing::read_file(file);
        return std::string(bytes.begin(), bytes.end());
    }
    // What was written to the error stream since the last call.
    std::string messages() {
        std::string text = errors_.str();
        errors_.str("");
        return text;
    }
    Corvid::Testing::TempDir dir_;
    const std::string path_ = dir_.file("c.xml");
    std::ostringstream errors_;
};

TEST_F(XmlConfiguration, SecondCandidateIsReadButFirstIsWritten) {
    write_file(dir_.file("second.xml"), daemon_config);
    Configuration config(std::vector<std::string>{path_}, errors_);
    config.add_file_name(dir_.file("second.xml"));
    ASSERT_TRUE(config.read("captured"));
    ASSERT_TRUE(config.set_value("captures/save/@interval", "20 seconds"));
    ASSERT_TRUE(config.write());
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(contents(dir_.file("second.xml")), daemon_config);
    EXPECT_FALSE(std::filesystem::exists(path_ + "~new"));
    Configuration first(path_, errors_);
    ASSERT_TRUE(first.read("captured"));
    EXPECT_EQ(first.get_value("captures/save/@interval"), "20 seconds");
    EXPECT_EQ(first.get_value("captures/capture[2]"), "BBC Two");
}

TEST_F(XmlConfiguration, ReadReportsEachFailureOnce) {
    Configuration config(path_, errors_);
    // No candidate opens: false, and the caller says what it was looking for.
    EXPECT_FALSE(config.read("captured"));
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(&config.root(), &Element::none);

    write_file(path_, "<foo a='1'/>");
    EXPECT_FALSE(config.read("bar"));
    EXPECT_EQ(messages(), "Bad root in config file - expected <bar>, got <foo>\n");
    EXPECT_FALSE(config.read_text("<foo/>", "bar"));
    EXPECT_EQ(messages(), "Bad root in config text - expected <bar>, got <foo>\n");
    // Before any successful read, reload accepts any root, as does an empty root name.
    EXPECT_TRUE(config.reload());
    EXPECT_EQ(config.root().name(), "foo");
    EXPECT_TRUE(config.read(""));

    write_file(path_, "<captured>\n<log level=3/>\n</captured>\n");
    // Lines count from the start of each read, however often the file is read.
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(config.read("captured"));
        EXPECT_EQ(
            messages(),
            "XML Fatal Error: Attribute value not quoted at line 2\nBad XML in config file\n");
    }
    EXPECT_FALSE(config.read_text("<a><b></a>", ""));
    EXPECT_EQ(
        messages(),
        "XML Error: Mis-nested tags - expected </b>, opened at line 1, but got </a> at line 1\n"
        "XML Fatal Error: Input stream failed unexpectedly at line 1\n"
        "Bad XML in config file\n");
}

TEST_F(XmlConfiguration, FailedReReadKeepsTheWorkingTree) {
    write_file(path_, daemon_config);
    Configuration config(path_, errors_);
    ASSERT_TRUE(config.read("captured"));
    for (const char* broken : {"<captured><log file='half", "<other/>"}) {
        write_file(path_, broken);
        EXPECT_FALSE(config.reload()) << broken;
        EXPECT_EQ(config.get_value("log/@file"), "/var/log/corvid/captured.log") << broken;
    }
    EXPECT_FALSE(config.read_text("", "captured"));
    EXPECT_EQ(config.root().name(), "captured");
    write_file(path_, "<captured><log file='/tmp/new.log'/></captured>");
    EXPECT_TRUE(config.reload());
    EXPECT_EQ(config.get_value("log/@file"), "/tmp/new.log");
}

TEST_F(XmlConfiguration, ListsMapsAndWhitespace) {
    Configuration config("unused");
    ASSERT_TRUE(config.read_text(daemon_config, "captured"));
    EXPECT_EQ(config.get_value_int("log/@level", 2), 2);  // empty: the default, not 0
    EXPECT_EQ(config.get_values("captures/capture"),
              (std::vector<std::string>{"BBC One", "BBC Two", "no id"}));
    EXPECT_EQ(config.get_map("captures/capture", "id"),
              (std::map<std::string, std::string>{{"bbc1", "BBC One"}, {"bbc2", "BBC Two"}}));
    EXPECT_EQ(config.get_element("epg/save")->get_attr("interval"), "1 min");
    EXPECT_EQ(config.get_element("epg/nothing"), nullptr);

    Configuration keeping("unused", std::cerr, Parser::FOLD_TEXT | Parser::KEEP_WHITESPACE);
    ASSERT_TRUE(keeping.read_text("<captured><name>  two  spaces </name></captured>", ""));
    EXPECT_EQ(keeping.get_value("name"), "  two  spaces ");
}

TEST_F(XmlConfiguration, BuildsAStateFileFromScratchKeepingPermissions) {
    Configuration state(path_, errors_);
    state.replace_root("captures").add("capture").set_attr("id", "bbc1");
    state.ensure_path("save").set_attr("interval", "10");
    ASSERT_TRUE(state.write());
    EXPECT_EQ(contents(path_),
              "<captures>\n  <capture id=\"bbc1\"/>\n  <save interval=\"10\"/>\n</captures>\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
    EXPECT_TRUE(state.delete_elements("capture"));
    ASSERT_TRUE(state.write());
    EXPECT_EQ(contents(path_), "<captures>\n  <save interval=\"10\"/>\n</captures>\n");
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(XmlConfiguration, NoFileNameOrNothingToWrite) {
    Configuration unnamed("", errors_);
    unnamed.replace_root("c");
    EXPECT_FALSE(unnamed.write());
    EXPECT_EQ(messages(), "Config: no filename available for write\n");

    write_file(path_, "<c>keep</c>");
    Configuration unread(path_, errors_);
    EXPECT_FALSE(unread.write());
    EXPECT_EQ(messages(), "Config: no content to write to " + path_ + "\n");
    EXPECT_EQ(contents(path_), "<c>keep</c>");
}

TEST_F(XmlConfiguration, TemporaryFileThatCannotBeCreated) {
    // A directory that does not exist: fails for root too.
    const std::string missing = dir_.file("no-such-dir/c.xml");
    Configuration config(missing, errors_);
    config.replace_root("c");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(messages(),
              "Config: can't create " + missing + "~new for update: No such file or directory\n");

    // An existing file whose temporary name is taken by a directory: the real file stays.
    write_file(path_, "<c>old</c>");
    std::filesystem::create_directory(path_ + "~new");
    Configuration blocked(path_, errors_);
    ASSERT_TRUE(blocked.read("c"));
    blocked.set_value("", "new");
    EXPECT_FALSE(blocked.write());
    EXPECT_EQ(messages(), "Config: can't create " + path_ + "~new for update: Is a directory\n");
    EXPECT_EQ(contents(path_), "<c>old</c>");
}

TEST_F(XmlConfiguration, UnwritableDirectoryLeavesTheRealFileUnchanged) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write into a read-only directory";
    const std::string sub = dir_.file("ro");
    std::filesystem::create_directory(sub);
    const std::string path = sub + "/c.xml";
    write_file(path, "<c>old</c>");
    ASSERT_EQ(::chmod(sub.c_str(), 0555), 0);
    Configuration config(path, errors_);
    ASSERT_TRUE(config.read("c"));
    config.set_value("", "new");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(messages(), "Config: can't create " + path + "~new for update: Permission denied\n");
    EXPECT_EQ(contents(path), "<c>old</c>");
    ::chmod(sub.c_str(), 0755);
}

TEST_F(XmlConfiguration, FailedWriteRemovesTheTemporaryFile) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    write_file(path_, "<c>old</c>");
    // The temporary name leads to a device that is always full.
    ASSERT_EQ(::symlink("/dev/full", (path_ + "~new").c_str()), 0);
    Configuration config(path_, errors_);
    ASSERT_TRUE(config.read("c"));
    EXPECT_FALSE(config.write());
    EXPECT_EQ(messages(), "Config: Failed writing new content to temporary file " + path_ +
                              "~new: No space left on device\n");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path_ + "~new")));
    EXPECT_EQ(contents(path_), "<c>old</c>");
}

TEST_F(XmlConfiguration, FailedRenameRemovesTheTemporaryFile) {
    // A non-empty directory where the file should be cannot be renamed over.
    std::filesystem::create_directories(path_ + "/inside");
    Configuration config(path_, errors_);
    config.replace_root("c");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(messages(),
              "Config: Can't rename " + path_ + "~new to " + path_ + ": Is a directory\n");
    EXPECT_FALSE(std::filesystem::exists(path_ + "~new"));
}

}  // namespace
