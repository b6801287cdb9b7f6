#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
using Gantry::XML::Testing::Outcome;
using Gantry::XML::Testing::parse;
using Gantry::XML::Testing::parse_trickled;

TEST(XmlParserFlags, BitValuesAreTheInterfaceOnes) {
    EXPECT_EQ(Parser::FOLD_TEXT, 1u);
    EXPECT_EQ(Parser::KEEP_WHITESPACE, 2u);
    EXPECT_EQ(Parser::MAP_NAMESPACES, 4u);
    EXPECT_EQ(Parser::LENIENT, 8u);
    Parser parser;
    EXPECT_EQ(parser.flags(), Parser::FOLD_TEXT);
}

TEST(XmlParserText, WhitespaceIsNormalisedUnlessKept) {
    Parser parser;
    EXPECT_EQ(parser.read("<a>  x   y  </a>").content(), "x y");
    Parser keeping(std::cerr, Parser::FOLD_TEXT | Parser::KEEP_WHITESPACE);
    EXPECT_EQ(keeping.read("<a>  x   y  </a>").content(), "  x   y  ");
    // Tabs, newlines and the rest count as whitespace too.
    EXPECT_EQ(parser.read("<a>\tx\r\n\f\vy\n</a>").content(), "x y");
}

TEST(XmlParserText, MixedContentKeepsTextNodesAndGetContentJoinsThem) {
    Parser parser;
    Element& a = parser.read("<a>x<b/>y</a>");
    ASSERT_EQ(a.children().size(), 3u);
    EXPECT_TRUE(a.get_child(0).is_text());
    EXPECT_EQ(a.get_child(0).content(), "x");
    EXPECT_EQ(a.get_child(1).name(), "b");
    EXPECT_EQ(a.get_child(2).content(), "y");
    EXPECT_EQ(a.content(), "");
    EXPECT_EQ(a.get_content(), "x\ny\n");
    EXPECT_EQ(a.get_child(0).parent(), &a);
}

TEST(XmlParserText, TextAroundACommentJoinsIntoOneNode) {
    Parser parser;
    Element& a = parser.read("<a>x<!-- note -->y</a>");
    EXPECT_EQ(a.content(), "x y");
    EXPECT_TRUE(a.children().empty());
    Parser keeping(std::cerr, Parser::FOLD_TEXT | Parser::KEEP_WHITESPACE);
    EXPECT_EQ(keeping.read("<a>x <!-- note --> y</a>").content(), "x  y");
}

TEST(XmlParserText, WithoutFoldingTheTextStaysAChild) {
    Parser parser(std::cerr, 0);
    Element& a = parser.read("<a>hello</a>");
    EXPECT_EQ(a.content(), "");
    ASSERT_EQ(a.children().size(), 1u);
    EXPECT_EQ(a.get_child(0).content(), "hello");
    EXPECT_EQ(a.get_content(), "hello\n");
}

TEST(XmlParserText, KeptWhitespaceBetweenTagsBecomesTextNodes) {
    Parser parser(std::cerr, Parser::FOLD_TEXT | Parser::KEEP_WHITESPACE);
    Element& a = parser.read("<a>\n  <b>1</b>\n</a>");
    ASSERT_EQ(a.children().size(), 3u);
    EXPECT_EQ(a.get_child(0).content(), "\n  ");
    EXPECT_EQ(a.get_child(1).content(), "1");
    EXPECT_EQ(a.get_child(2).content(), "\n");
}

TEST(XmlParserReferences, EntitiesAndCharacterReferences) {
    Parser parser;
    EXPECT_EQ(parser.read("<a>&lt;&gt;&amp;&apos;&quot;</a>").content(), "<>&'\"");
    EXPECT_EQ(parser.read("<a>&#xE9;</a>").content(), "\xC3\xA9");
    EXPECT_EQ(parser.read("<a>&#233;&#65;&#x20AC;</a>").content(),
              "\xC3\xA9"
              "A\xE2\x82\xAC");
    EXPECT_EQ(parser.read("<a v='&#x41;&amp;b'/>").get_attr("v"), "A&b");
    // References are not whitespace to be normalised.
    EXPECT_EQ(parser.read("<a>x&#10;y</a>").content(), "x\ny");
}

TEST(XmlParserReferences, CodePointsAboveTheBasicPlaneTakeFourBytes) {
    Parser parser;
    EXPECT_EQ(parser.read("<a>&#x1F600;</a>").content(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(parser.read("<a>&#128512;</a>").content(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(parser.read("<a>&#x10FFFF;</a>").content(), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(parser.read("<a>&#x10000;</a>").content(), "\xF0\x90\x80\x80");
}

TEST(XmlParserReferences, FourByteFormAgreesWithXmllint) {
    CORVID_REQUIRE_PROGRAM("xmllint");
    Corvid::Testing::TempDir dir;
    const std::string doc = "<a>&#x1F600;-&#x10348;-&#xE9;-&#x20AC;-&#1114111;</a>";
    Corvid::Testing::write_file(dir.file("a.xml"), doc);
    int status = -1;
    std::string expected =
        Corvid::Testing::run_command("xmllint --xpath 'string(/a)' " + dir.file("a.xml"), &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(expected.back(), '\n');  // xmllint ends its answer with one
    expected.pop_back();
    Parser parser;
    EXPECT_EQ(parser.read(doc).content(), expected);
}

TEST(XmlParserReferences, CodePointsWithoutAUtf8FormAreMalformed) {
    for (const char* doc :
         {"<a>&#xD800;</a>", "<a>&#xDFFF;</a>", "<a>&#x110000;</a>", "<a>&#0;</a>",
          "<a>&#99999999999999999999999999999999;</a>", "<a>&#xFFFFFFFFFFFFFFFFFFFF41;</a>"}) {
        Outcome out = parse(doc);
        EXPECT_FALSE(out.ok) << doc;
        EXPECT_EQ(out.errors, "XML Fatal Error: Malformed character reference at line 1\n") << doc;
    }
}

TEST(XmlParserReferences, LenientKeepsStrayAmpersandsAndAngles) {
    Parser parser(std::cerr, Parser::FOLD_TEXT | Parser::LENIENT);
    EXPECT_EQ(parser.read("<a>fish & chips</a>").content(), "fish & chips");
    EXPECT_EQ(parser.read("<a v='R& D'/>").get_attr("v"), "R& D");
    // A letter after '&' starts an entity name, which must still be well formed.
    std::ostringstream errors;
    Parser strict_names(errors, Parser::LENIENT);
    EXPECT_THROW(strict_names.read("<a v='R&D'/>"), ParseFailed);
    EXPECT_EQ(errors.str(), "XML Fatal Error: Malformed entity reference at line 1\n");
    EXPECT_EQ(parser.read("<a>1 < 2</a>").content(), "1 < 2");
    EXPECT_EQ(parser.read("<a>x&</a>").content(), "x&");
    Parser keeping(std::cerr, Parser::FOLD_TEXT | Parser::LENIENT | Parser::KEEP_WHITESPACE);
    EXPECT_EQ(keeping.read("<a>1 < 2</a>").content(), "1 < 2");
}

TEST(XmlParserAttributes, QuotesWhitespaceAndOrder) {
    Parser parser;
    Element& a = parser.read("<a  z = \"1\"\ty='it&apos;s'\n m=\"a  b\" />");
    EXPECT_EQ(a.get_attr("z"), "1");
    EXPECT_EQ(a.get_attr("y"), "it's");
    EXPECT_EQ(a.get_attr("m"), "a  b");
    std::vector<std::string> names;
    for (const auto& [name, value] : a.attrs())
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"m", "y", "z"}));
    EXPECT_EQ(parser.read("<a v='say \"hi\"'/>").get_attr("v"), "say \"hi\"");
    EXPECT_EQ(parser.read("<a v='<'/>").get_attr("v"), "<");
}

TEST(XmlParserStructure, DeclarationsCommentsAndDoctypeAreSkipped) {
    Parser parser;
    Element& a = parser.read(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE a>\n<!-- top -->\n"
        "<a><?pi x?><b>1</b><!-- c --- ---><![CDATA[x>y]]><c/></a>");
    ASSERT_EQ(a.children().size(), 3u);
    EXPECT_EQ(a.get_child(0).name(), "b");
    // The CDATA construct ends at its first '>', leaving the rest as text.
    EXPECT_EQ(a.get_child(1).content(), "y]]>");
    EXPECT_EQ(a.get_child(2).name(), "c");
}

TEST(XmlParserStructure, LinesOfElementsCountEveryNewline) {
    Parser parser;
    Element& a = parser.read("<?x\n?>\n<!--\n\n-->\n<a\nv='1\n2'>\n<b>t\nu</b><c/></a>");
    EXPECT_EQ(a.line(), 6);
    EXPECT_EQ(a.get_child("b").line(), 9);
    EXPECT_EQ(a.get_child("c").line(), 10);
    EXPECT_EQ(a.get_attr("v"), "1\n2");
}

TEST(XmlParserStructure, NamesMayHoldDotsDashesAndColons) {
    Parser parser;
    Element& a = parser.read("<cv:capture-list.x_1 a:b-c.d='1'/>");
    EXPECT_EQ(a.name(), "cv:capture-list.x_1");
    EXPECT_EQ(a.get_attr("a:b-c.d"), "1");
    // A byte above 127 ends a name.
    EXPECT_FALSE(parse("<a\xC3\xA9/>").ok);
}

TEST(XmlParserStructure, NothingAfterTheRootIsRead) {
    std::istringstream in("<a><b/></a><c>tail");
    Parser parser;
    EXPECT_EQ(parser.read(in).name(), "a");
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, "<c>tail");

    // Two documents back to back in one stream, one parser; its line count runs on.
    std::istringstream two("<a>\n</a>\n<b>\n<c>");
    std::ostringstream errors;
    Parser both(errors);
    EXPECT_EQ(both.read(two).name(), "a");
    EXPECT_THROW(both.read(two), ParseFailed);
    EXPECT_EQ(errors.str(), "XML Fatal Error: Input stream failed unexpectedly at line 4\n");
    EXPECT_EQ(both.error_count(), 1);
}

TEST(XmlParserStructure, NonSeekableStreamsAreLeftAfterTheRootToo) {
    Gantry::XML::Testing::TrickleBuffer buffer("<a>1</a>rest");
    std::istream in(&buffer);
    Parser parser;
    EXPECT_EQ(parser.read(in).content(), "1");
    std::string rest;
    in >> rest;
    EXPECT_EQ(rest, "rest");
}

TEST(XmlParserStructure, FileStreamsReadInBlocksKeepExactLines) {
    Corvid::Testing::TempDir dir;
    std::string doc = "<epg>\n";
    for (int i = 0; i < 40000; i++)
        doc += "  <event id='" + std::to_string(i) + "'>t&amp;" + std::to_string(i) + "</event>\n";
    doc += "  <bad x=1/>\n</epg>\n";
    Corvid::Testing::write_file(dir.file("big.xml"), doc);
    std::ifstream in(dir.file("big.xml"));
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_THROW(parser.read(in), ParseFailed);
    EXPECT_EQ(errors.str(), "XML Fatal Error: Attribute value not quoted at line 40002\n");
    EXPECT_EQ(parser.root().children().size(), 40000u);
    EXPECT_EQ(parser.root().get_child(39999).content(), "t&39999");
}

TEST(XmlParserStructure, EveryStreamShapeGivesTheSameResult) {
    // Block boundaries can fall anywhere: a stream handing out one byte at a time must give the
    // same tree and the same messages as a string.
    for (const char* doc : {
             "<a x='1' y=\"&#x1F600;\">  t &amp; u <b/>v<!-- c --><?p?>w</a>",
             "<a>\n<b>\n</a>\n</b>",
             "<a><!-x>y</a>",
             "</x>\n<a/>",
             "<a>t &nbsp;</a>",
             "<a\n\nx='1\n",
             "  \n",
         }) {
        for (unsigned flags = 0; flags < 16; flags++) {
            Outcome whole = parse(doc, flags);
            Outcome trickled = parse_trickled(doc, flags);
            EXPECT_EQ(whole.ok, trickled.ok) << doc << " flags " << flags;
            EXPECT_EQ(whole.errors, trickled.errors) << doc << " flags " << flags;
            EXPECT_EQ(whole.tree, trickled.tree) << doc << " flags " << flags;
        }
    }
}

TEST(XmlParserRoot, DetachReplaceAndPreviousRoot) {
    Parser parser;
    EXPECT_EQ(&parser.root(), &Element::none);
    EXPECT_EQ(parser.detach_root(), nullptr);
    parser.read("<a/>");
    std::unique_ptr<Element> a = parser.detach_root();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->name(), "a");
    EXPECT_EQ(&parser.root(), &Element::none);
    parser.replace_root(std::make_unique<Element>("z"));
    EXPECT_EQ(parser.root().name(), "z");
    // A failed read leaves its partial tree until the next read.
    std::ostringstream errors;
    Parser failing(errors);
    EXPECT_THROW(failing.read("<a><b>"), ParseFailed);
    EXPECT_EQ(failing.root().get_child("b").name(), "b");
    failing.read("<c/>");
    EXPECT_EQ(failing.root().name(), "c");
}

TEST(XmlParserNamespaces, PrefixesAreRewrittenByUri) {
    const std::string envelope =
        "<soap:Envelope xmlns:soap='http://schemas.xmlsoap.org/soap/envelope/'"
        " xmlns:c='urn:corvid' soap:encodingStyle='x'>"
        "<soap:Body><c:capture-list-request c:id='1' plain='2'/></soap:Body>"
        "<other:x xmlns:other='urn:unmapped'/></soap:Envelope>";
    Parser parser;
    parser.map_namespace("http://schemas.xmlsoap.org/soap/envelope/", "env");
    parser.map_namespace("urn:corvid", "cv");
    EXPECT_EQ(parser.flags(), Parser::FOLD_TEXT | Parser::MAP_NAMESPACES);
    Element& root = parser.read(envelope);
    EXPECT_EQ(root.name(), "env:Envelope");
    EXPECT_TRUE(root.has_attr("env:encodingStyle"));
    Element& request = root.get_child("env:Body").get_child("cv:capture-list-request");
    ASSERT_NE(&request, &Element::none);
    EXPECT_EQ(request.get_attr("cv:id"), "1");
    EXPECT_EQ(request.get_attr("plain"), "2");
    EXPECT_EQ(root.get_child(1).name(), "other:x");
    // The declarations themselves stay as written.
    EXPECT_TRUE(root.has_attr("xmlns:soap"));
}

TEST(XmlParserNamespaces, DefaultNamespaceAndScopes) {
    Parser parser;
    parser.map_namespace("urn:corvid", "cv");
    parser.map_namespace("urn:bare", "");
    Element& root = parser.read(
        "<r><a xmlns='urn:corvid'><b x='1'/></a><b/>"
        "<p:c xmlns:p='urn:corvid'><p:d xmlns:p='urn:other'/><p:e/></p:c>"
        "<q:f xmlns:q='urn:bare'/></r>");
    EXPECT_EQ(root.name(), "r");
    EXPECT_EQ(root.get_child(0).name(), "cv:a");
    // Unprefixed attributes are left alone.
    EXPECT_TRUE(root.get_child(0).get_child(0).has_attr("x"));
    EXPECT_EQ(root.get_child(0).get_child(0).name(), "cv:b");
    // The default namespace ended with its element.
    EXPECT_EQ(root.get_child(1).name(), "b");
    EXPECT_EQ(root.get_child(2).name(), "cv:c");
    EXPECT_EQ(root.get_child(2).get_child(0).name(), "p:d");
    EXPECT_EQ(root.get_child(2).get_child(1).name(), "cv:e");
    EXPECT_EQ(root.get_child(3).name(), "f");
}

TEST(XmlParserNamespaces, AttributesMeetingOnOneNameKeepOne) {
    Parser parser;
    parser.map_namespace("urn:x", "x");
    Element& a = parser.read("<a xmlns:p='urn:x' xmlns:q='urn:x' p:v='1' q:v='2'/>");
    EXPECT_EQ(a.get_attr("x:v"), "2");
    EXPECT_FALSE(a.has_attr("p:v"));
    EXPECT_FALSE(a.has_attr("q:v"));
}

}  // namespace
