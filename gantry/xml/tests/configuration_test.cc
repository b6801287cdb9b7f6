#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Corvid::Testing::write_file;
using Gantry::XML::Configuration;
using Gantry::XML::Element;

const char* const daemon_config =
    "<?xml version=\"1.0\"?>\n<captured>\n  <log file=\"/var/log/x.log\" level=\"\"/>\n"
    "  <captures>\n    <save interval=\"10 seconds\"/>\n    <capture id=\"bbc1\">BBC "
    "One</capture>\n"
    "    <capture>no id</capture>\n  </captures>\n</captured>\n";

std::string contents(const std::string& file) {
    std::vector<uint8_t> bytes = Corvid::Testing::read_file(file);
    return std::string(bytes.begin(), bytes.end());
}

// What was written to the error stream since the last call.
std::string taken(std::ostringstream& errors) {
    std::string text = errors.str();
    errors.str("");
    return text;
}

TEST(XmlConfiguration, SecondCandidateIsReadButFirstIsWrittenKeepingPermissions) {
    Corvid::Testing::TempDir dir;
    const std::string first = dir.file("c.xml"), second = dir.file("second.xml");
    write_file(second, daemon_config);
    std::ostringstream errors;
    Configuration config(std::vector<std::string>{first}, errors);
    config.add_file_name(second);
    ASSERT_TRUE(config.read("captured"));
    EXPECT_EQ(config.get_map("captures/capture", "id"),
              (std::map<std::string, std::string>{{"bbc1", "BBC One"}}));
    ASSERT_TRUE(config.set_value("captures/save/@interval", "20 seconds"));
    write_file(first, "");
    ASSERT_EQ(::chmod(first.c_str(), 0600), 0);
    ASSERT_TRUE(config.write());
    EXPECT_EQ(taken(errors), "");
    EXPECT_EQ(contents(second), daemon_config);
    EXPECT_FALSE(std::filesystem::exists(first + "~new"));
    struct stat st;
    ASSERT_EQ(::stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Configuration again(first, errors);
    ASSERT_TRUE(again.read("captured"));
    EXPECT_EQ(again.get_values("captures/capture"), (std::vector<std::string>{"BBC One", "no id"}));
    EXPECT_EQ(again.get_value("captures/save/@interval"), "20 seconds");
}

TEST(XmlConfiguration, FailedReadsKeepTheWorkingTreeAndSayWhyOnce) {
    Corvid::Testing::TempDir dir;
    const std::string path = dir.file("c.xml");
    std::ostringstream errors;
    Configuration config(path, errors);
    // No candidate opens: false, and the caller says what it was looking for.
    EXPECT_FALSE(config.read("captured"));
    EXPECT_EQ(taken(errors), "");
    EXPECT_EQ(&config.root(), &Element::none);
    write_file(path, "<foo/>");
    EXPECT_FALSE(config.read("bar"));
    EXPECT_EQ(taken(errors), "Bad root in config file - expected <bar>, got <foo>\n");
    // Before any successful read, reload accepts any root.
    EXPECT_TRUE(config.reload());
    EXPECT_EQ(config.root().name(), "foo");

    write_file(path, daemon_config);
    ASSERT_TRUE(config.read("captured"));
    const struct {
        const char* text;
        const char* messages;
    } broken[] = {
        // Lines count from the start of each read, however often the file is read.
        {"<captured>\n<log level=3/>\n</captured>\n",
         "XML Fatal Error: Attribute value not quoted at line 2\nBad XML in config file\n"},
        {"<captured>\n<log level=3/>\n</captured>\n",
         "XML Fatal Error: Attribute value not quoted at line 2\nBad XML in config file\n"},
        {"<other/>", "Bad root in config file - expected <captured>, got <other>\n"},
    };
    for (const auto& c : broken) {
        write_file(path, c.text);
        EXPECT_FALSE(config.reload()) << c.text;
        EXPECT_EQ(taken(errors), c.messages);
        EXPECT_EQ(config.get_value("log/@file"), "/var/log/x.log") << c.text;
    }
    EXPECT_FALSE(config.read_text("<foo/>", "captured"));
    EXPECT_EQ(taken(errors), "Bad root in config text - expected <captured>, got <foo>\n");
    EXPECT_EQ(config.root().name(), "captured");
}

// Each way a write can fail leaves the real file as it was, no temporary file behind, and one line.
TEST(XmlConfiguration, FailedWritesLeaveTheRealFile) {
    Corvid::Testing::TempDir dir;
    const std::string path = dir.file("c.xml"), temporary = path + "~new";
    const std::string missing = dir.file("no-such-dir/c.xml");
    const struct {
        std::string file;
        // False where the case cannot be made: root writes into a read-only folder.
        std::function<bool()> prepare;
        std::string message;
    } cases[] = {
        {"", [] { return true; }, "Config: no filename available for write\n"},
        {missing, [] { return true; },
         "Config: can't create " + missing + "~new for update: No such file or directory\n"},
        {path, [&] { return std::filesystem::create_directory(temporary); },
         "Config: can't create " + temporary + " for update: Is a directory\n"},
        {path, [&] { return ::symlink("/dev/full", temporary.c_str()) == 0; },
         "Config: Failed writing new content to temporary file " + temporary +
             ": No space left on device\n"},
        {path, [&] { return ::chmod(dir.path().c_str(), 0555) == 0 && ::geteuid() != 0; },
         "Config: can't create " + temporary + " for update: Permission denied\n"},
    };
    for (const auto& c : cases) {
        write_file(path, "<c>old</c>");
        std::filesystem::remove_all(temporary);
        if (c.prepare()) {
            std::ostringstream errors;
            Configuration config(c.file, errors);
            config.replace_root("c").set_content("new");
            EXPECT_FALSE(config.write());
            EXPECT_EQ(errors.str(), c.message);
            EXPECT_EQ(contents(path), "<c>old</c>");
            // Only a folder in the way stays; the symlink to the full device goes.
            EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(temporary)),
                      std::filesystem::is_directory(temporary));
        }
        ::chmod(dir.path().c_str(), 0755);
    }

    // A non-empty directory where the file should be cannot be renamed over.
    std::filesystem::remove(path);
    std::filesystem::create_directories(path + "/inside");
    std::ostringstream errors;
    Configuration config(path, errors);
    config.replace_root("c");
    EXPECT_FALSE(config.write());
    EXPECT_EQ(errors.str(),
              "Config: Can't rename " + temporary + " to " + path + ": Is a directory\n");
    EXPECT_FALSE(std::filesystem::exists(temporary));

    Configuration unread(dir.file("other.xml"), errors);
    errors.str("");
    EXPECT_FALSE(unread.write());
    EXPECT_EQ(errors.str(), "Config: no content to write to " + dir.file("other.xml") + "\n");
}

}  // namespace
