// Every message the parser writes, with the line it names, and which ones parsing survives.
#include <gtest/gtest.h>

#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
using Gantry::XML::Testing::Outcome;
using Gantry::XML::Testing::parse;

TEST(XmlParserErrors, FatalMessagesWithTheirLines) {
    const struct {
        const char* doc;
        const char* message;
        int line;
        unsigned flags = Parser::FOLD_TEXT;
    } cases[] = {
        {"", "Empty or unreadable document", 1},
        {"<?xml version='1.0'?>\n", "Empty or unreadable document", 2},
        {"\n\nx<a/>", "Non-tag data at start of document", 3},
        {"<a>\n<b/>\n", "Input stream failed unexpectedly", 3},
        {"<a></ b>", "Illegal end tag", 1},
        {"<?xml version='1.0'\n", "Unexpected end-of-file in PI", 2},
        {"<a><!-- x\n -- >", "Unexpected end-of-file in comment", 2},
        {"<!DOCTYPE a\n", "Unexpected end-of-file", 2},
        {"<a>\n<=</a>", "Illegal tag", 2},
        {"<a/ >", "Illegal empty close", 1},
        {"<a x='1'\n x=\"2\"/>", "Duplicate attribute name", 2},
        {"<a x '1'/>", "No = given for attribute", 1},
        {"<a x=1/>", "Attribute value not quoted", 1},
        {"<a x='1\n\n", "Document ended in attribute value", 3},
        {"<a -x='1'/>", "Illegal attribute name", 1},
        {"<a x='1'y='2'/>", "Illegal start tag", 1},
        {"<a\"/>", "Illegal start tag", 1},
        {"<a>text", "Unexpected end of stream", 1},
        {"<a>text \n ", "Unexpected end of stream", 2},
        {"<a>&#12</a>", "Malformed character reference", 1},
        {"<a>&#;</a>", "Malformed character reference", 1},
        {"<a>&#X41;</a>", "Malformed character reference", 1},
        // Code points without a UTF-8 form: surrogates, beyond U+10FFFF, NUL, and overflow.
        {"<a>&#xD800;</a>", "Malformed character reference", 1},
        {"<a>&#xDFFF;</a>", "Malformed character reference", 1},
        {"<a>&#x110000;</a>", "Malformed character reference", 1},
        {"<a>&#0;</a>", "Malformed character reference", 1},
        {"<a>&#99999999999999999999999999999999;</a>", "Malformed character reference", 1},
        {"<a>&#xFFFFFFFFFFFFFFFFFFFF41;</a>", "Malformed character reference", 1},
        {"<a>&amp</a>", "Malformed entity reference", 1},
        {"<a v='R&D'/>", "Malformed entity reference", 1},
        // A letter after '&' starts an entity name, which must be well formed even when lenient.
        {"<a v='R&D'/>", "Malformed entity reference", 1, Parser::LENIENT},
        {"<a>\n&nbsp;</a>", "Unrecognised entity name", 2},
        {"<a>fish & chips</a>", "Weird reference - unescaped '&'?", 1},
        {"<a v='R& D'/>", "Weird reference - unescaped '&'?", 1},
    };
    for (const auto& c : cases) {
        Outcome out = parse(c.doc, c.flags);
        EXPECT_FALSE(out.ok) << c.doc;
        EXPECT_EQ(out.errors, "XML Fatal Error: " + std::string(c.message) + " at line " +
                                  std::to_string(c.line) + "\n")
            << c.doc;
    }
}

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

TEST(XmlParserErrors, WeirdCommentAndStrayEndTagAreSurvived) {
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_EQ(parser.read("<a><!-x->y</a>").content(), "y");
    EXPECT_EQ(errors.str(), "XML Error: Weird comment at line 1\n");
    // The end tag closes nothing, so the document has not started: the root that follows is read.
    EXPECT_EQ(parser.read("</x>\n<a>1</a>").content(), "1");
    EXPECT_EQ(errors.str(),
              "XML Error: Weird comment at line 1\n"
              "XML Error: End-tag found but no elements open at line 1\n");
    // The count adds up across documents.
    EXPECT_THROW(parser.read("<a x=1/>"), ParseFailed);
    EXPECT_EQ(parser.error_count(), 3);
}

}  // namespace
