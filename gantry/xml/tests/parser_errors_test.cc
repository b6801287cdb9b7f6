// Every message the parser writes, with the line it names, and which ones parsing survives.
#include <gtest/gtest.h>

#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
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
        auto out = parse(c.doc, c.flags);
        EXPECT_FALSE(out.ok) << c.doc;
        EXPECT_EQ(out.errors, "XML Fatal Error: " + std::string(c.message) + " at line " +
                                  std::to_string(c.line) + "\n")
            << c.doc;
    }
}

// Messages that parsing survives, and the one failure that writes none.
TEST(XmlParserErrors, NonFatalMessagesAndTheSilentFailure) {
    const struct {
        const char* doc;
        const char* content;  // nullptr: the read fails
        const char* messages;
        int count;
    } cases[] = {
        {"<a><b></a></b>", nullptr,
         "XML Error: Mis-nested tags - expected </b>, opened at line 1, but got </a> at line 1\n"
         "XML Fatal Error: Input stream failed unexpectedly at line 1\n",
         2},
        {"<a>\n<b>\n</a>\n</b></a>", "",
         "XML Error: Mis-nested tags - expected </b>, opened at line 2, but got </a> at line 3\n",
         1},
        {"<a><!-x->y</a>", "y", "XML Error: Weird comment at line 1\n", 1},
        // The end tag closes nothing, so the document has not started: the root that follows is
        // read.
        {"</x>\n<a>1</a>", "1", "XML Error: End-tag found but no elements open at line 1\n", 1},
        {"<a></a x>", nullptr, "", 1},
    };
    for (const auto& c : cases) {
        std::ostringstream errors;
        Parser parser(errors);
        if (c.content)
            EXPECT_EQ(parser.read(c.doc).content(), c.content) << c.doc;
        else
            EXPECT_THROW(parser.read(c.doc), ParseFailed) << c.doc;
        EXPECT_EQ(errors.str(), c.messages) << c.doc;
        EXPECT_EQ(parser.error_count(), c.count) << c.doc;
    }
    // The count adds up across documents.
    std::ostringstream sink;
    Parser twice(sink);
    for (int i = 0; i < 2; i++)
        EXPECT_THROW(twice.read("<a x=1/>"), ParseFailed);
    EXPECT_EQ(twice.error_count(), 2);
}

}  // namespace
