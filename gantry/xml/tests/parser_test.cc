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

// get_content tells folded text (the content itself) from text children (each followed by a
// newline).
TEST(XmlParserText, WhitespaceFoldingAndReferences) {
    constexpr unsigned fold = Parser::FOLD_TEXT, keep = fold | Parser::KEEP_WHITESPACE,
                       lenient = fold | Parser::LENIENT;
    const struct {
        unsigned flags;
        const char* doc;
        const char* content;
    } cases[] = {
        {fold, "<a>  x   y  </a>", "x y"},
        {keep, "<a>  x   y  </a>", "  x   y  "},
        {fold, "<a>\tx\r\n\f\vy\n</a>", "x y"},
        // Text on both sides of a comment joins into one node, which then folds.
        {fold, "<a>x<!-- note -->y</a>", "x y"},
        {keep, "<a>x <!-- note --> y</a>", "x  y"},
        {0, "<a>hello</a>", "hello\n"},
        // Mixed content keeps its text nodes.
        {fold, "<a>x<b/>y</a>", "x\ny\n"},
        // Kept whitespace between tags becomes text nodes ("\n  " and "\n").
        {keep, "<a>\n  <b>1</b>\n</a>", "\n  \n\n\n"},
        {fold, "<a>&lt;&gt;&amp;&apos;&quot;</a>", "<>&'\""},
        // References are not whitespace to be normalised.
        {fold, "<a>x&#10;y</a>", "x\ny"},
        {lenient, "<a>fish & chips</a>", "fish & chips"},
        {lenient, "<a>1 < 2</a>", "1 < 2"},
        {lenient, "<a>x&</a>", "x&"},
        {lenient | keep, "<a>1 < 2</a>", "1 < 2"},
    };
    for (const auto& c : cases) {
        Parser parser(std::cerr, c.flags);
        EXPECT_EQ(parser.read(c.doc).get_content(), c.content) << c.doc << " flags " << c.flags;
    }
}

TEST(XmlParserText, FourByteFormAgreesWithXmllint) {
    CORVID_REQUIRE_PROGRAM("xmllint");
    Corvid::Testing::TempDir dir;
    // Decimal and hex references of every UTF-8 length, up to the last code point.
    const std::string doc = "<a>&#x1F600;-&#x10348;-&#xE9;-&#233;-&#x20AC;-&#65536;-&#1114111;</a>";
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

TEST(XmlParserAttributes, QuotesWhitespaceOrderAndNames) {
    Parser parser;
    EXPECT_EQ(parser.read("<a  z = \"1\"\ty='it&apos;s'\n m=\"a  b\" />").to_string(),
              "<a m=\"a  b\" y=\"it's\" z=\"1\"/>\n");
    // Names may hold dots, dashes and colons; a byte above 127 ends one.
    EXPECT_EQ(parser.read("<cv:capture-list.x_1 a:b-c.d='1'/>").to_string(),
              "<cv:capture-list.x_1 a:b-c.d=\"1\"/>\n");
    EXPECT_FALSE(parse("<a\xC3\xA9/>").ok);
    EXPECT_EQ(parser.read("<a v='say \"hi\"'/>").get_attr("v"), "say \"hi\"");
    EXPECT_EQ(parser.read("<a v='<'/>").get_attr("v"), "<");
    Parser lenient(std::cerr, Parser::LENIENT);
    EXPECT_EQ(lenient.read("<a v='R& D'/>").get_attr("v"), "R& D");
}

TEST(XmlParserStructure, DeclarationsCommentsAndDoctypeAreSkippedButTheirLinesCount) {
    Parser parser;
    Element& a = parser.read(
        "<?xml version=\"1.0\"\n encoding=\"UTF-8\"?>\n<!DOCTYPE a>\n<!--\n\n-->\n<a\nv='1\n2'>\n"
        "<?pi x?><b>t\nu</b><!-- c --- ---><![CDATA[x>y]]><c/></a>");
    ASSERT_EQ(a.children().size(), 3u);
    EXPECT_EQ(a.line(), 7);
    EXPECT_EQ(a.get_attr("v"), "1\n2");
    EXPECT_EQ(a.get_child(0).name() + " " + std::to_string(a.get_child(0).line()), "b 10");
    // The CDATA construct ends at its first '>', leaving the rest as text.
    EXPECT_EQ(a.get_child(1).content(), "y]]>");
    EXPECT_EQ(a.get_child(2).name() + " " + std::to_string(a.get_child(2).line()), "c 11");
}

TEST(XmlParserStructure, NothingAfterTheRootIsRead) {
    std::istringstream in("<a><b/></a><c>tail");
    Parser parser;
    EXPECT_EQ(parser.read(in).name(), "a");
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, "<c>tail");

    // Nor from a stream that cannot seek.
    Gantry::XML::Testing::TrickleBuffer buffer("<a>1</a>rest");
    std::istream trickle(&buffer);
    EXPECT_EQ(parser.read(trickle).content(), "1");
    trickle >> rest;
    EXPECT_EQ(rest, "rest");

    // Two documents back to back in one stream, one parser; its line count runs on.
    std::istringstream two("<a>\n</a>\n<b>\n<c>");
    std::ostringstream errors;
    Parser both(errors);
    EXPECT_EQ(both.read(two).name(), "a");
    EXPECT_THROW(both.read(two), ParseFailed);
    EXPECT_EQ(errors.str(), "XML Fatal Error: Input stream failed unexpectedly at line 4\n");
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
    for (const char* doc :
         {"<a x='1' y=\"&#x1F600;\">  t &amp; u <b/>v<!-- c --><?p?>w</a>", "<a>\n<b>\n</a>\n</b>",
          "<a><!-x>y</a>", "</x>\n<a/>", "<a>t &nbsp;</a>", "<a\n\nx='1\n", "  \n"}) {
        for (unsigned flags = 0; flags < 16; flags++) {
            Outcome whole = parse(doc, flags);
            Outcome trickled = parse(doc, flags, true);
            EXPECT_EQ(whole.ok, trickled.ok) << doc << " flags " << flags;
            EXPECT_EQ(whole.errors, trickled.errors) << doc << " flags " << flags;
            EXPECT_EQ(whole.tree, trickled.tree) << doc << " flags " << flags;
        }
    }
}

TEST(XmlParserRoot, DetachAndPartialTrees) {
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_EQ(parser.detach_root(), nullptr);
    parser.read("<a/>");
    EXPECT_EQ(parser.detach_root()->name(), "a");
    EXPECT_EQ(&parser.root(), &Element::none);
    // A failed read leaves its partial tree until the next read.
    EXPECT_THROW(parser.read("<a><b>"), ParseFailed);
    EXPECT_EQ(parser.root().get_child("b").name(), "b");
    EXPECT_EQ(parser.read("<c/>").name(), "c");
}

TEST(XmlParserNamespaces, PrefixesAreRewrittenByUriWithinTheirScope) {
    Parser parser;
    parser.map_namespace("http://schemas.xmlsoap.org/soap/envelope/", "env");
    parser.map_namespace("urn:corvid", "cv");
    parser.map_namespace("urn:bare", "");
    // Unprefixed attributes, unmapped URIs and the declarations themselves stay as written; a
    // default namespace ends with its element; an inner declaration hides an outer one.
    EXPECT_EQ(parser
                  .read("<soap:Envelope xmlns:soap='http://schemas.xmlsoap.org/soap/envelope/'"
                        " soap:encodingStyle='x'><c:list xmlns:c='urn:corvid' c:id='1' plain='2'/>"
                        "<other:x xmlns:other='urn:unmapped'/><a xmlns='urn:corvid'><b/></a><b/>"
                        "<p:c xmlns:p='urn:corvid'><p:d xmlns:p='urn:other'/><p:e/></p:c>"
                        "<q:f xmlns:q='urn:bare'/></soap:Envelope>")
                  .to_string(),
              "<env:Envelope env:encodingStyle=\"x\""
              " xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">\n"
              "  <cv:list cv:id=\"1\" plain=\"2\" xmlns:c=\"urn:corvid\"/>\n"
              "  <other:x xmlns:other=\"urn:unmapped\"/>\n"
              "  <cv:a xmlns=\"urn:corvid\">\n    <cv:b/>\n  </cv:a>\n"
              "  <b/>\n"
              "  <cv:c xmlns:p=\"urn:corvid\">\n    <p:d xmlns:p=\"urn:other\"/>\n    <cv:e/>\n  "
              "</cv:c>\n"
              "  <f xmlns:q=\"urn:bare\"/>\n"
              "</env:Envelope>\n");

    // Two prefixes for one URI meet on one name: the later attribute wins.
    Parser meeting;
    meeting.map_namespace("urn:x", "x");
    EXPECT_EQ(meeting.read("<a xmlns:p='urn:x' xmlns:q='urn:x' p:v='1' q:v='2'/>").to_string(),
              "<a x:v=\"2\" xmlns:p=\"urn:x\" xmlns:q=\"urn:x\"/>\n");
}

// An entity name read inside an attribute value used the buffer that still held the attribute's
// name, so the value was filed under the entity's name ("amp").
TEST(XmlRegression, EntityInAttributeValueKeepsTheAttributeName) {
    Parser parser;
    EXPECT_EQ(parser.read("<a value='x&amp;y' other='&lt;&#65;'/>").to_string(),
              "<a other=\"&lt;A\" value=\"x&amp;y\"/>\n");
}

// Mapping a namespace to the empty prefix strips "p:" from names; where the rest cannot start a
// name on its own ("-x", ".y", or nothing) the result could not be parsed again once written.
TEST(XmlRegression, EmptyFixedPrefixNeverMakesAnInvalidName) {
    Parser parser;
    parser.map_namespace("urn:bare", "");
    const std::string written =
        parser.read("<p:-x xmlns:p='urn:bare' p:.y='1' p:z='2'><p:/><p:ok/></p:-x>").to_string();
    EXPECT_EQ(written,
              "<p:-x p:.y=\"1\" xmlns:p=\"urn:bare\" z=\"2\">\n  <p:/>\n  <ok/>\n</p:-x>\n");
    EXPECT_EQ(parse(written).errors, "");
}

}  // namespace
