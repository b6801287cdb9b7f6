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
    EXPECT_EQ(q_.get_elements(""), std::vector<Element*>{&root_});
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
        {"log/@file", "/var/log/x.log"},
        {"log@file", "/var/log/x.log"},
        {"captures/capture[3]@id", "c"},
        {"captures/save/@interval", "10 seconds"},
        {"@missing", "d"},
        {"log/@absent", "d"},
        {"nolog/@file", "d"},
        {"nolog", "d"},
        {"log/@x@file", "d"},
        {"@", "d"}};
    for (const auto& [path, value] : values)
        EXPECT_EQ(q_.get_value(path, "d"), value) << path;
}

// Typed values round-trip through their setters; an empty value gives the default, not 0.
TEST_F(XmlPathQuery, TypedValuesAndDefaults) {
    EXPECT_TRUE(q_.set_value_int("log/@i", -5) && q_.set_value_hex("log/@h", 0xBEEF) &&
                q_.set_value_int64("log/@l", 18446744073709551615ULL) &&
                q_.set_value_hex64("log/@lh", 0xFEDCBA9876543210ULL) &&
                q_.set_value_real("log/@r", 2.5) && q_.set_value_bool("log/@n", false));
    EXPECT_EQ(q_.get_value("log/@h") + " " + q_.get_value("log/@lh") + " " + q_.get_value("log/@n"),
              "beef fedcba9876543210 no");
    EXPECT_EQ(q_.get_value_int("log/@i"), -5);
    EXPECT_EQ(q_.get_value_hex("log/@h"), 0xBEEFu);
    EXPECT_EQ(q_.get_value_int64("log/@l"), 18446744073709551615ULL);
    EXPECT_EQ(q_.get_value_hex64("log/@lh"), 0xFEDCBA9876543210ULL);
    EXPECT_DOUBLE_EQ(q_.get_value_real("log/@r"), 2.5);
    EXPECT_EQ(q_.get_value_int("log/@level", 2), 2);
    EXPECT_EQ(q_.get_value_hex("log/@level", 7u), 7u);
    EXPECT_TRUE(q_.get_value_bool("log/@on") && q_.get_value_bool("log/@level", true));
    // Unlike get_attr_bool, "1" is not true here.
    EXPECT_FALSE(q_.get_value_bool("log/@one", true));
}

TEST_F(XmlPathQuery, SetValueNeedsTheElement) {
    EXPECT_TRUE(q_.set_value("captures/capture[2]", "changed"));
    EXPECT_EQ(q_.get_value("captures/capture[2]"), "changed");
    EXPECT_FALSE(q_.set_value("nothing/@x", "1"));
    EXPECT_FALSE(q_.set_value("nothing", "1"));
    EXPECT_EQ(&root_.get_child("nothing"), &Element::none);
}

TEST_F(XmlPathQuery, DeleteAddReplace) {
    EXPECT_TRUE(q_.delete_elements("captures/capture[2]"));
    EXPECT_EQ(q_.get_value("captures/capture[2]/@id"), "c");
    EXPECT_TRUE(q_.delete_elements("captures/capture"));
    EXPECT_FALSE(q_.delete_elements("captures/capture"));
    EXPECT_EQ(q_.get_elements("captures/save").size(), 1u);
    EXPECT_FALSE(q_.delete_elements(""));
    EXPECT_EQ(root_.name(), "captured");

    EXPECT_TRUE(q_.add_element("captures", std::make_unique<Element>("capture", "new")));
    EXPECT_FALSE(q_.add_element("absent", std::make_unique<Element>("capture")));
    Element* added = q_.add_element("captures", "capture");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->parent(), q_.get_element("captures"));
    EXPECT_EQ(q_.add_element("absent", "x"), nullptr);
    EXPECT_EQ(q_.get_elements("captures/capture").size(), 2u);

    EXPECT_TRUE(q_.replace_element("captures/save", std::make_unique<Element>("keep")));
    EXPECT_EQ(root_.get_child("captures").get_child(0).name(), "keep");
    EXPECT_FALSE(q_.replace_element("captures/save", std::make_unique<Element>("x")));
    EXPECT_FALSE(q_.replace_element("", std::make_unique<Element>("x")));
}

TEST_F(XmlPathQuery, EnsurePathCreatesWhatIsMissing) {
    EXPECT_EQ(&q_.ensure_path("captures/save"), q_.get_element("captures/save"));
    Element& made = q_.ensure_path("epg/save/@interval");
    EXPECT_EQ(made.name(), "save");
    EXPECT_EQ(made.parent()->name(), "epg");
    EXPECT_EQ(made.parent()->parent(), &root_);
    EXPECT_EQ(&q_.ensure_path(""), &root_);

    PathQuery empty(Element::none);
    EXPECT_EQ(&empty.ensure_path("a/b"), &Element::none);
    EXPECT_EQ(empty.get_value("a/@b", "d"), "d");
    EXPECT_FALSE(empty.set_value("", "x"));
    EXPECT_EQ(Element::none.content(), "");
}

}  // namespace
