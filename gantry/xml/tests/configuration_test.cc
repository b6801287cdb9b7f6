#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Corvid::Testing::write_file;
using Gantry::XML::Configuration;

const char* const daemon_config =
    "<captured><log file='/var/log/x.log'/><captures><save interval='10 seconds'/>"
    "<capture id='bbc1'>BBC One</capture><capture>no id</capture></captures></captured>";

std::string contents(const std::string& file) {
    std::vector<uint8_t> bytes = Corvid::Testing::read_file(file);
    return std::string(bytes.begin(), bytes.end());
}

std::string taken(std::ostringstream& errors) {  // and forgotten
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
    EXPECT_EQ(taken(errors) + contents(second), daemon_config);
    EXPECT_EQ(std::filesystem::status(first).permissions(), std::filesystem::perms(0600));
    Configuration again(first, errors);
    ASSERT_TRUE(again.read("captured"));
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
    write_file(path, "<foo/>");
    EXPECT_FALSE(config.read("bar"));
    EXPECT_EQ(taken(errors), "Bad root in config file - expected <bar>, got <foo>\n");
    // Before any successful read, reload accepts any root.
    EXPECT_TRUE(config.reload() && config.root().name() == "foo");
    write_file(path, daemon_config);
    ASSERT_TRUE(config.read("captured"));
    // Lines count from the start of each read, however often the file is read.
    for (const std::string text : {"<captured>\n<log level=3/>", "<captured>\n<log level=3/>"}) {
        write_file(path, text);
        EXPECT_FALSE(config.reload());
        EXPECT_EQ(
            taken(errors),
            "XML Fatal Error: Attribute value not quoted at line 2\nBad XML in config file\n");
        EXPECT_EQ(config.get_value("log/@file"), "/var/log/x.log");
    }
    write_file(path, "<other/>");  // a working root keeps its name
    EXPECT_FALSE(config.reload());
    taken(errors);
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
        // A non-empty directory where the file should be cannot be renamed over.
        {path,
         [&] {
             return std::filesystem::remove(path) &&
                    std::filesystem::create_directories(path + "/inside");
         },
         "Config: Can't rename " + temporary + " to " + path + ": Is a directory\n"},
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
            if (!std::filesystem::is_directory(path)) {
                EXPECT_EQ(contents(path), "<c>old</c>");
            }
            // Only a folder in the way stays; the symlink to the full device goes.
            EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(temporary)),
                      std::filesystem::is_directory(temporary));
        }
        ::chmod(dir.path().c_str(), 0755);
    }
    std::ostringstream errors;
    Configuration unread(dir.file("other.xml"), errors);
    EXPECT_FALSE(unread.write());
    EXPECT_EQ(errors.str(), "Config: no content to write to " + dir.file("other.xml") + "\n");
}

}  // namespace
