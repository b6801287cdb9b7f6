// Every message the parser writes, with the line it names, and which ones parsing survives.
#include <gtest/gtest.h>

#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
using Gantry::XML::Testing::Outcome;
using Gantry::XML::Testing::parse;

struct FatalCase {
    const char* doc;
    const char* message;
    int line;
};

class XmlParserFatal : public ::testing::TestWithParam<FatalCase> {};

TEST_P(XmlParserFatal, WritesOneLineAndThrows) {
    const FatalCase& c = GetParam();
    Outcome out = parse(c.doc);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.errors, "XML Fatal Error: " + std::string(c.message) + " at line " +
                              std::to_string(c.line) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, XmlParserFatal,
    ::testing::Values(FatalCase{"", "Empty or unreadable document", 1},
                      FatalCase{"  \n\t\n ", "Empty or unreadable document", 3},
                      FatalCase{"<?xml version='1.0'?>\n", "Empty or unreadable document", 2},
                      FatalCase{"hello<a/>", "Non-tag data at start of document", 1},
                      FatalCase{"\n\nx<a/>", "Non-tag data at start of document", 3},
                      FatalCase{"<a>\n<b/>\n", "Input stream failed unexpectedly", 3},
                      FatalCase{"<a></ b>", "Illegal end tag", 1},
                      FatalCase{"<a></>", "Illegal end tag", 1},
                      FatalCase{"<?xml version='1.0'\n", "Unexpected end-of-file in PI", 2},
                      FatalCase{"<a><!-- x\n -- >", "Unexpected end-of-file in comment", 2},
                      FatalCase{"<!DOCTYPE a\n", "Unexpected end-of-file", 2},
                      FatalCase{"<a><![CDATA[x", "Unexpected end-of-file", 1},
                      FatalCase{"<a>< b/></a>", "Illegal tag", 1},
                      FatalCase{"<a>\n<=</a>", "Illegal tag", 2},
                      FatalCase{"<a/ >", "Illegal empty close", 1},
                      FatalCase{"<a x='1'\n x=\"2\"/>", "Duplicate attribute name", 2},
                      FatalCase{"<a x '1'/>", "No = given for attribute", 1},
                      FatalCase{"<a x=1/>", "Attribute value not quoted", 1},
                      FatalCase{"<a x='1\n\n", "Document ended in attribute value", 3},
                      FatalCase{"<a -x='1'/>", "Illegal attribute name", 1},
                      FatalCase{"<a x='1'y='2'/>", "Illegal start tag", 1},
                      FatalCase{"<a\"/>", "Illegal start tag", 1},
                      FatalCase{"<a>text", "Unexpected end of stream", 1},
                      FatalCase{"<a>text \n ", "Unexpected end of stream", 2},
                      FatalCase{"<a>&#12</a>", "Malformed character reference", 1},
                      FatalCase{"<a>&#;</a>", "Malformed character reference", 1},
                      FatalCase{"<a>&#xZZ;</a>", "Malformed character reference", 1},
                      FatalCase{"<a>&#X41;</a>", "Malformed character reference", 1},
                      FatalCase{"<a>&amp</a>", "Malformed entity reference", 1},
                      FatalCase{"<a>\n&nbsp;</a>", "Unrecognised entity name", 2},
                      FatalCase{"<a>fish & chips</a>", "Weird reference - unescaped '&'?", 1},
                      FatalCase{"<a v='R& D'/>", "Weird reference - unescaped '&'?", 1},
                      FatalCase{"<a v='R&D'/>", "Malformed entity reference", 1}));

TEST(XmlParserErrors, EndTagWithoutCloseThrowsWithoutAMessage) {
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_THROW(parser.read("<a></a x>"), ParseFailed);
    EXPECT_EQ(errors.str(), "");
    EXPECT_EQ(parser.error_count(), 1);
}

TEST(XmlParserErrors, MisNestedEndTagIsReportedAndSkipped) {
    Outcome out = parse("<a><b></a></b>");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(
        out.errors,
        "XML Error: Mis-nested tags - expected </b>, opened at line 1, but got </a> at line 1\n"
        "XML Fatal Error: Input stream failed unexpectedly at line 1\n");

    Outcome later = parse("<a>\n<b>\n</a>\n</b></a>");
    EXPECT_TRUE(later.ok);
    EXPECT_EQ(
        later.errors,
        "XML Error: Mis-nested tags - expected </b>, opened at line 2, but got </a> at line 3\n");
}

TEST(XmlParserErrors, WeirdCommentIsSkippedToItsEnd) {
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_EQ(parser.read("<a><!-x->y</a>").content(), "y");
    EXPECT_EQ(errors.str(), "XML Error: Weird comment at line 1\n");
    EXPECT_EQ(parser.error_count(), 1);
}

TEST(XmlParserErrors, StrayEndTagBeforeTheRootDoesNotEndTheDocument) {
    // The end tag closes nothing, so the document has not started, let alone ended: the root
    // that follows is read.
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_EQ(parser.read("</x>\n<a>1</a>").content(), "1");
    EXPECT_EQ(errors.str(), "XML Error: End-tag found but no elements open at line 1\n");
}

TEST(XmlParserErrors, ErrorCountAddsUpAcrossDocuments) {
    std::ostringstream errors;
    Parser parser(errors);
    parser.read("<a><!-x>y</a>");
    EXPECT_THROW(parser.read("<a x=1/>"), ParseFailed);
    EXPECT_EQ(parser.error_count(), 2);
}

}  // namespace
