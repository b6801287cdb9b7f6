#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::Parser;
using Gantry::XML::PathQuery;

class XmlPathQuery : public ::testing::Test {
  protected:
    Parser parser_;
    Element& root_ = parser_.read(
        "<captured><log file='/var/log/x.log' level='' on='yes' one='1'>text</log>"
        "<captures><save interval='10 seconds'/><capture id='a'>first</capture>"
        "<capture id='b'>second</capture><capture id='c'>third</capture></captures></captured>");
    PathQuery q_{root_};
};

TEST_F(XmlPathQuery, StepsIndexesAndAttributes) {
    EXPECT_EQ(q_.get_element("/"), &root_);
    // Indexes are 1-based; a malformed or out-of-range one matches nothing.
    const std::vector<std::pair<const char*, size_t>> counts = {
        {"captures/capture", 3},    {"/captures/capture/", 3},  {"captures//capture", 3},
        {"captures/capture[4]", 0}, {"captures/capture[0]", 0}, {"captures/capture[x]", 0},
        {"captures/capture[2", 0},  {"captures[2]/capture", 0}, {"nothing/capture", 0}};
    for (const auto& [path, count] : counts)
        EXPECT_EQ(q_.get_elements(path).size(), count) << path;
    // Every step but the last means the first of its name. The attribute is split off at the
    // last '@', so an attribute name holding '@' cannot be reached.
    const std::vector<std::pair<const char*, const char*>> values = {
        {"captures/capture[2]", "second"},
        {"captures[1]/capture[3]/@id", "c"},
        {"captures/capture", "first"},
        {"log@file", "/var/log/x.log"},
        {"@missing", "d"},
        {"log/@absent", "d"},
        {"nolog/@file", "d"},
        {"log/@x@file", "d"},
        {"@", "d"}};
    for (const auto& [path, value] : values)
        EXPECT_EQ(q_.get_value(path, "d"), value) << path;
}

// Typed values round-trip through their setters; an empty value gives the default, not 0.
TEST_F(XmlPathQuery, TypedValuesAndDefaults) {
    EXPECT_TRUE(q_.set_value_hex64("log/@lh", 0xFEDCBA9876543210ULL) &&
                q_.set_value_bool("log/@n", false) && q_.set_value_int("log/@i", -5));
    EXPECT_EQ(q_.get_value("log/@lh") + " " + q_.get_value("log/@n"), "fedcba9876543210 no");
    EXPECT_TRUE(q_.get_value_hex64("log/@lh") == 0xFEDCBA9876543210ULL &&
                q_.get_value_int("log/@i") == -5);
    EXPECT_EQ(q_.get_value_int("log/@level", 2), 2);
    EXPECT_TRUE(q_.get_value_bool("log/@on") && q_.get_value_bool("log/@level", true));
    // Unlike get_attr_bool, "1" is not true here.
    EXPECT_FALSE(q_.get_value_bool("log/@one", true));
    EXPECT_FALSE(q_.set_value("nothing/@x", "1") || q_.set_value("nothing", "1"));
}

TEST_F(XmlPathQuery, DeleteAddReplaceEnsure) {
    EXPECT_TRUE(q_.delete_elements("captures/capture[2]"));
    EXPECT_EQ(q_.get_value("captures/capture[2]/@id"), "c");
    EXPECT_TRUE(q_.delete_elements("captures/capture"));
    EXPECT_FALSE(q_.delete_elements("captures/capture") || q_.delete_elements(""));
    EXPECT_EQ(q_.get_elements("captures/save").size(), 1u);

    EXPECT_FALSE(q_.add_element("absent", std::make_unique<Element>("capture")));
    EXPECT_EQ(q_.add_element("captures", "capture")->parent(), q_.get_element("captures"));
    EXPECT_TRUE(q_.replace_element("captures/save", std::make_unique<Element>("keep")));
    EXPECT_EQ(root_.get_child("captures").get_child(0).name(), "keep");
    EXPECT_FALSE(q_.replace_element("", std::make_unique<Element>("x")));

    EXPECT_EQ(&q_.ensure_path("captures/keep"), q_.get_element("captures/keep"));
    EXPECT_EQ(q_.ensure_path("epg/save/@interval").parent()->parent(), &root_);
    EXPECT_EQ(q_.get_elements("epg/save").size(), 1u);
    PathQuery empty(Element::none);
    EXPECT_EQ(&empty.ensure_path("a/b"), &Element::none);
    EXPECT_EQ(Element::none.content(), "");
}

}  // namespace
