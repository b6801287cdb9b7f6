// Inputs that once broke the parser, kept so that they stay fixed.
#include <gtest/gtest.h>

#include <sstream>

#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::Parser;

// An entity name read inside an attribute value used the buffer that still held the attribute's
// name, so the value was filed under the entity's name ("amp").
TEST(XmlRegression, EntityInAttributeValueKeepsTheAttributeName) {
    Parser parser;
    Element& a = parser.read("<a value='x&amp;y' other='&lt;&#65;'/>");
    EXPECT_EQ(a.get_attr("value"), "x&y");
    EXPECT_EQ(a.get_attr("other"), "<A");
    EXPECT_FALSE(a.has_attr("amp"));
    EXPECT_FALSE(a.has_attr("lt"));
    EXPECT_EQ(a.attrs().size(), 2u);
}

// Mapping a namespace to the empty prefix strips "p:" from names; where the rest cannot start a
// name on its own ("-x", ".y", or nothing) the result could not be parsed again once written.
TEST(XmlRegression, EmptyFixedPrefixNeverMakesAnInvalidName) {
    Parser parser;
    parser.map_namespace("urn:bare", "");
    Element& root = parser.read("<p:-x xmlns:p='urn:bare' p:.y='1' p:z='2'><p:/><p:ok/></p:-x>");
    EXPECT_EQ(root.name(), "p:-x");
    EXPECT_TRUE(root.has_attr("p:.y"));
    EXPECT_TRUE(root.has_attr("z"));
    EXPECT_EQ(root.get_child(0).name(), "p:");
    EXPECT_EQ(root.get_child(1).name(), "ok");
    std::ostringstream errors;
    Parser again(errors);
    EXPECT_NO_THROW(again.read(root.to_string()));
    EXPECT_EQ(errors.str(), "");
}

}  // namespace
