#include <gtest/gtest.h>

#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::Parser;
using Gantry::XML::PathQuery;

class XmlPathQuery : public ::testing::Test {
  protected:
    void SetUp() override {
        parser_.read(
            "<captured>"
            "<log file='/var/log/x.log' level='' on='yes' one='1' hex='ff' "
            "big='18446744073709551615'"
            " bighex='123456789abcdef0' r='0.25'>text</log>"
            "<captures><save interval='10 seconds'/>"
            "<capture id='a'>first</capture><capture id='b'>second</capture>"
            "<capture id='c'>third</capture></captures>"
            "</captured>");
    }
    Element& root() { return parser_.root(); }
    Parser parser_;
};

TEST_F(XmlPathQuery, StepsIndexesAndAttributes) {
    PathQuery q(root());
    EXPECT_EQ(q.get_elements(""), std::vector<Element*>{&root()});
    EXPECT_EQ(q.get_element("/"), &root());
    EXPECT_EQ(q.get_elements("captures/capture").size(), 3u);
    EXPECT_EQ(q.get_elements("/captures/capture/").size(), 3u);
    EXPECT_EQ(q.get_elements("captures//capture").size(), 3u);
    EXPECT_EQ(q.get_value("captures/capture[2]"), "second");
    EXPECT_EQ(q.get_value("captures[1]/capture[3]/@id"), "c");
    EXPECT_EQ(q.get_elements("captures/capture[4]").size(), 0u);
    EXPECT_EQ(q.get_elements("captures/capture[0]").size(), 0u);
    EXPECT_EQ(q.get_elements("captures/capture[x]").size(), 0u);
    EXPECT_EQ(q.get_elements("captures/capture[2").size(), 0u);
    EXPECT_EQ(q.get_elements("captures[2]/capture").size(), 0u);
    EXPECT_EQ(q.get_elements("nothing/capture").size(), 0u);
    // Every step but the last means the first of its name.
    EXPECT_EQ(q.get_value("captures/capture"), "first");
    EXPECT_EQ(q.get_value("log/@file"), "/var/log/x.log");
    EXPECT_EQ(q.get_value("@missing", "d"), "d");
    EXPECT_EQ(q.get_value("log/@absent", "d"), "d");
    EXPECT_EQ(q.get_value("nolog/@file", "d"), "d");
    EXPECT_EQ(q.get_value("nolog", "d"), "d");
    EXPECT_EQ(q.get_value("captures/save/@interval"), "10 seconds");
}

TEST_F(XmlPathQuery, TypedGettersGiveTheDefaultForEmptyValues) {
    PathQuery q(root());
    EXPECT_EQ(q.get_value_int("log/@level", 2), 2);
    EXPECT_EQ(q.get_value_int("log/@missing", 3), 3);
    EXPECT_EQ(q.get_value_int("log/@one", 3), 1);
    EXPECT_EQ(q.get_value_hex("log/@hex"), 255u);
    EXPECT_EQ(q.get_value_hex("log/@level", 7u), 7u);
    EXPECT_EQ(q.get_value_int64("log/@big"), 18446744073709551615ULL);
    EXPECT_EQ(q.get_value_hex64("log/@bighex"), 0x123456789abcdef0ULL);
    EXPECT_DOUBLE_EQ(q.get_value_real("log/@r"), 0.25);
    EXPECT_DOUBLE_EQ(q.get_value_real("log/@level", 1.5), 1.5);
    EXPECT_TRUE(q.get_value_bool("log/@on"));
    EXPECT_TRUE(q.get_value_bool("log"));  // "text"
    // Unlike get_attr_bool, "1" is not true here.
    EXPECT_FALSE(q.get_value_bool("log/@one", true));
    EXPECT_TRUE(q.get_value_bool("log/@level", true));
}

TEST_F(XmlPathQuery, SetValueNeedsTheElement) {
    PathQuery q(root());
    EXPECT_TRUE(q.set_value("log/@level", "3"));
    EXPECT_EQ(root().get_child("log").get_attr("level"), "3");
    EXPECT_TRUE(q.set_value("captures/capture[2]", "changed"));
    EXPECT_EQ(q.get_value("captures/capture[2]"), "changed");
    EXPECT_FALSE(q.set_value("nothing/@x", "1"));
    EXPECT_FALSE(q.set_value("nothing", "1"));
    EXPECT_EQ(&root().get_child("nothing"), &Element::none);

    EXPECT_TRUE(q.set_value_int("log/@i", -5));
    EXPECT_TRUE(q.set_value_hex("log/@h", 0xBEEF));
    EXPECT_TRUE(q.set_value_int64("log/@l", 18446744073709551615ULL));
    EXPECT_TRUE(q.set_value_hex64("log/@lh", 0xFEDCBA9876543210ULL));
    EXPECT_TRUE(q.set_value_real("log/@r", 2.5));
    EXPECT_TRUE(q.set_value_bool("log/@y", true));
    EXPECT_TRUE(q.set_value_bool("log/@n", false));
    const Element& log = root().get_child("log");
    EXPECT_EQ(log.get_attr("i"), "-5");
    EXPECT_EQ(log.get_attr("h"), "beef");
    EXPECT_EQ(log.get_attr("l"), "18446744073709551615");
    EXPECT_EQ(log.get_attr("lh"), "fedcba9876543210");
    EXPECT_EQ(log.get_attr("r"), "2.5");
    EXPECT_EQ(log.get_attr("y"), "yes");
    EXPECT_EQ(log.get_attr("n"), "no");
}

TEST_F(XmlPathQuery, AttributeSplitIsAtTheLastAt) {
    PathQuery q(root());
    EXPECT_EQ(q.get_value("log@file"), "/var/log/x.log");
    EXPECT_EQ(q.get_value("captures/capture[3]@id"), "c");
    // An attribute name holding '@' cannot be reached: the split is at the last one.
    EXPECT_EQ(q.get_value("log/@x@file", "d"), "d");
    EXPECT_EQ(q.get_value("@", "d"), "d");
}

TEST_F(XmlPathQuery, DeleteAddReplace) {
    PathQuery q(root());
    EXPECT_TRUE(q.delete_elements("captures/capture[2]"));
    EXPECT_EQ(q.get_elements("captures/capture").size(), 2u);
    EXPECT_EQ(q.get_value("captures/capture[2]/@id"), "c");
    EXPECT_TRUE(q.delete_elements("captures/capture"));
    EXPECT_FALSE(q.delete_elements("captures/capture"));
    EXPECT_EQ(q.get_elements("captures/save").size(), 1u);
    EXPECT_FALSE(q.delete_elements(""));
    EXPECT_EQ(root().name(), "captured");

    EXPECT_TRUE(q.add_element("captures", std::make_unique<Element>("capture", "new")));
    EXPECT_FALSE(q.add_element("absent", std::make_unique<Element>("capture")));
    Element* added = q.add_element("captures", "capture");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->parent(), q.get_element("captures"));
    EXPECT_EQ(q.add_element("absent", "x"), nullptr);
    EXPECT_EQ(q.get_elements("captures/capture").size(), 2u);

    EXPECT_TRUE(q.replace_element("captures/save", std::make_unique<Element>("keep")));
    EXPECT_EQ(root().get_child("captures").get_child(0).name(), "keep");
    EXPECT_FALSE(q.replace_element("captures/save", std::make_unique<Element>("x")));
    EXPECT_FALSE(q.replace_element("", std::make_unique<Element>("x")));
}

TEST_F(XmlPathQuery, EnsurePathCreatesWhatIsMissing) {
    PathQuery q(root());
    Element& existing = q.ensure_path("captures/save");
    EXPECT_EQ(&existing, q.get_element("captures/save"));
    Element& made = q.ensure_path("epg/save/@interval");
    EXPECT_EQ(made.name(), "save");
    EXPECT_EQ(made.parent()->name(), "epg");
    EXPECT_EQ(made.parent()->parent(), &root());
    EXPECT_TRUE(q.set_value("epg/save/@interval", "1 min"));
    EXPECT_EQ(&q.ensure_path(""), &root());

    PathQuery empty(Element::none);
    EXPECT_EQ(&empty.ensure_path("a/b"), &Element::none);
    EXPECT_TRUE(empty.get_elements("a").empty());
    EXPECT_EQ(empty.get_value("a/@b", "d"), "d");
    EXPECT_FALSE(empty.set_value("", "x"));
    EXPECT_EQ(Element::none.content(), "");
}

}  // namespace
