#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
using Gantry::XML::Testing::parse;

// get_content: folded text is the content itself, text children each end in a newline.
TEST(XmlParserText, WhitespaceFoldingReferencesAndAttributes) {
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
        {0, "<a>hello</a>", "hello\n"},
        {fold, "<a>x<b/>y</a>", "x\ny\n"},
        // Kept whitespace between tags becomes text nodes ("\n  " and "\n").
        {keep, "<a>\n  <b>1</b>\n</a>", "\n  \n\n\n"},
        {fold, "<a>&lt;&gt;&amp;&apos;&quot;</a>", "<>&'\""},
        {fold, "<a>x&#10;y</a>", "x\ny"},  // a reference is not whitespace to fold
        {lenient, "<a>fish & chips</a>", "fish & chips"},
        {lenient | keep, "<a>1 < 2</a>", "1 < 2"},
    };
    for (const auto& c : cases) {
        Parser parser(std::cerr, c.flags);
        EXPECT_EQ(parser.read(c.doc).get_content(), c.content) << c.doc << " flags " << c.flags;
    }
    // Attributes: any quotes and whitespace, written back in name order.
    Parser parser;
    EXPECT_EQ(parser.read("<a  z = \"1\"\ty='it&apos;s \"<\"'\n m=\"a  b\" />").to_string(),
              "<a m=\"a  b\" y=\"it's &quot;&lt;&quot;\" z=\"1\"/>\n");
    EXPECT_EQ(Parser(std::cerr, lenient).read("<a v='R& D'/>").get_attr("v"), "R& D");
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

// Nothing after the root is read, from a stream that cannot seek or one that can; one parser's
// line count runs on; a failed read leaves its partial tree; a file read in blocks keeps lines.
TEST(XmlParserStructure, NothingAfterTheRootIsReadAndLinesStayExact) {
    Gantry::XML::Testing::TrickleBuffer buffer("<a>1</a>rest");
    std::istream trickle(&buffer);
    std::string rest;
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_EQ(parser.read(trickle).content(), "1");
    EXPECT_TRUE(trickle >> rest && rest == "rest");
    std::istringstream two("<a>\n</a>\n<b>\n<c>");
    EXPECT_EQ(parser.read(two).name(), "a");
    EXPECT_THROW(parser.read(two), ParseFailed);
    EXPECT_EQ(errors.str(), "XML Fatal Error: Input stream failed unexpectedly at line 4\n");
    EXPECT_EQ(parser.root().get_child("c").name(), "c");
    EXPECT_TRUE(parser.detach_root() && &parser.root() == &Element::none && !parser.detach_root());
    Corvid::Testing::TempDir dir;
    std::string doc = "<epg>\n";
    for (int i = 0; i < 40000; i++)
        doc += "  <event id='" + std::to_string(i) + "'>t&amp;" + std::to_string(i) + "</event>\n";
    doc += "  <bad x=1/>\n</epg>\n";
    Corvid::Testing::write_file(dir.file("big.xml"), doc);
    std::ifstream in(dir.file("big.xml"));
    errors.str("");
    Parser file_parser(errors);
    EXPECT_THROW(file_parser.read(in), ParseFailed);
    EXPECT_EQ(errors.str(), "XML Fatal Error: Attribute value not quoted at line 40002\n");
    EXPECT_EQ(file_parser.root().get_child(39999).content(), "t&39999");
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
}

// Every message the parser writes, with the line it names, and which ones parsing survives.
TEST(XmlParserErrors, FatalMessagesWithTheirLines) {
    const struct {
        const char* doc;
        const char* message;
        int line;
        unsigned flags = Parser::FOLD_TEXT;
    } cases[] = {
        {"", "Empty or unreadable document", 1},
        {"\n\nx<a/>", "Non-tag data at start of document", 3},
        {"<a></ b>", "Illegal end tag", 1},
        {"<?xml version='1.0'\n", "Unexpected end-of-file in PI", 2},
        {"<a><!-- x\n -- >", "Unexpected end-of-file in comment", 2},
        {"<a>\n<=</a>", "Illegal tag", 2},
        {"<a x='1'\n x=\"2\"/>", "Duplicate attribute name", 2},
        {"<a x='1\n\n", "Document ended in attribute value", 3},
        {"<a x='1'y='2'/>", "Illegal start tag", 1},
        {"<a\xC3\xA9/>", "Illegal start tag", 1},  // a byte above 127 ends a name
        {"<a>text \n ", "Unexpected end of stream", 2},
        {"<a>&#12</a>", "Malformed character reference", 1},
        // Code points without a UTF-8 form: surrogates, beyond U+10FFFF, and overflow.
        {"<a>&#xD800;</a>", "Malformed character reference", 1},
        {"<a>&#x110000;</a>", "Malformed character reference", 1},
        {"<a>&#99999999999999999999999999999999;</a>", "Malformed character reference", 1},
        {"<a>&amp</a>", "Malformed entity reference", 1},
        // A letter after '&' starts an entity name, which must be well formed even when lenient.
        {"<a v='R&D'/>", "Malformed entity reference", 1, Parser::LENIENT},
        {"<a>\n&nbsp;</a>", "Unrecognised entity name", 2},
        {"<a>fish & chips</a>", "Weird reference - unescaped '&'?", 1},
    };
    for (const auto& c : cases) {
        auto out = parse(c.doc, c.flags);
        EXPECT_FALSE(out.ok) << c.doc;
        EXPECT_EQ(out.errors, "XML Fatal Error: " + std::string(c.message) + " at line " +
                                  std::to_string(c.line) + "\n")
            << c.doc;
    }
}

// Messages that parsing survives, and the one failure that writes none; each counts one error.
TEST(XmlParserErrors, NonFatalMessagesAndTheSilentFailure) {
    const struct {
        const char* doc;
        const char* content;  // nullptr: the read fails
        const char* messages;
    } cases[] = {
        {"<a>\n<b>\n</a>\n</b></a>", "",
         "XML Error: Mis-nested tags - expected </b>, opened at line 2, but got </a> at line 3\n"},
        {"<a><!-x->y</a>", "y", "XML Error: Weird comment at line 1\n"},
        // The end tag closes nothing, so the root that follows is read.
        {"</x>\n<a>1</a>", "1", "XML Error: End-tag found but no elements open at line 1\n"},
        {"<a></a x>", nullptr, ""},
    };
    for (const auto& c : cases) {
        std::ostringstream errors;
        Parser parser(errors);
        if (c.content)
            EXPECT_EQ(parser.read(c.doc).content(), c.content) << c.doc;
        else
            EXPECT_THROW(parser.read(c.doc), ParseFailed) << c.doc;
        EXPECT_EQ(errors.str(), c.messages) << c.doc;
        EXPECT_EQ(parser.error_count(), 1) << c.doc;
    }
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

// Deep trees: documents from the network may nest without limit, and trees built in code (chain:
// elements named a, depth levels deep) may be deeper still. Parsing refuses more than
// Parser::max_depth levels; everything that walks a tree must work at any depth without recursing.
constexpr size_t million = 1000000;

std::string nest(size_t n, const std::string& inner) {
    std::string open, close;
    for (size_t i = 0; i < n; i++)
        open += "<a>", close += "</a>";
    return open + inner + close;
}

std::unique_ptr<Element> chain(size_t depth, Element** bottom) {
    auto root = std::make_unique<Element>("a");
    for (*bottom = root.get(); --depth;)
        *bottom = &(*bottom)->add("a");
    return root;
}

TEST(XmlDepth, TheLimitIsAcceptedAndOneMoreRefused) {
    const std::string too_deep =
        "XML Fatal Error: Elements nested deeper than 1000 levels at line ";
    auto refused = parse(nest(million, ""));
    EXPECT_EQ(refused.errors, too_deep + "1\n");
    // The partial tree is the limit deep: an open and a close line per level, one at the bottom.
    EXPECT_EQ(static_cast<size_t>(std::count(refused.tree.begin(), refused.tree.end(), '\n')),
              2 * Parser::max_depth - 1);
    EXPECT_TRUE(parse(nest(Parser::max_depth, "x")).ok);
    // Siblings at the deepest level do not add depth; one more, in a stream, names its line.
    EXPECT_TRUE(parse(nest(Parser::max_depth - 1, "<b/><b/>")).ok);
    EXPECT_EQ(parse(nest(Parser::max_depth, "\n<b/>"), Parser::FOLD_TEXT, true).errors,
              too_deep + "2\n");
}

TEST(XmlDepth, CodeBuiltMillionLevelTreeIsCopiedSearchedAndDestroyed) {
    Element* bottom = nullptr;
    std::unique_ptr<Element> root = chain(million, &bottom);
    bottom->set_name("x");
    EXPECT_EQ(&root->get_descendant("x"), bottom);
    EXPECT_EQ(root->get_descendants("a", "a").size(), 1u);
    Element target("t");
    root->deep_copy()->copy_to(target);
    target.merge(*root);
    EXPECT_TRUE(target.children().size() == 2 && target.get_descendants("x").size() == 2);
    // Destroying copy and root here must not recurse a million frames deep.
}

// The written text grows with the square of the depth, so the depth is modest, but a thread with
// a small stack makes one frame per level fail all the same.
TEST(XmlDepth, DeepTreesAreWrittenWithoutRecursion) {
    Element* bottom = nullptr;
    static std::unique_ptr<Element> root = chain(3000, &bottom);
    static std::string text, copied;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto work = [](void*) -> void* {
        text = root->to_string();
        std::ostringstream out;
        root->deep_copy()->write_to(out);
        copied = out.str();
        root.reset();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, work, nullptr), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(copied, text);
    EXPECT_NE(text.find(std::string(2 * 2998, ' ') + "<a/>\n"), std::string::npos);
}

}  // namespace
