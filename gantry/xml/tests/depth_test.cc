// Deep trees: documents from the network may nest without limit, and trees built in code may be
// deeper still. Parsing refuses more than Parser::max_depth levels; everything that walks a tree
// must work at any depth without recursing.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::ParseFailed;
using Gantry::XML::Parser;
using Gantry::XML::Testing::parse;

constexpr size_t million = 1000000;
const std::string too_deep = "XML Fatal Error: Elements nested deeper than 1000 levels at line ";

std::string repeat(std::string_view piece, size_t n) {
    std::string out;
    while (n--)
        out += piece;
    return out;
}

size_t depth_of(const Element& root) {
    size_t depth = 1;
    for (const Element* e = &root; !e->children().empty(); e = e->children().front().get())
        depth++;
    return depth;
}

// A chain of elements named a, depth levels deep, built in code.
std::unique_ptr<Element> chain(size_t depth, Element** bottom) {
    auto root = std::make_unique<Element>("a");
    *bottom = root.get();
    for (size_t i = 1; i < depth; i++)
        *bottom = &(*bottom)->add("a");
    return root;
}

TEST(XmlDepth, MillionLevelDocumentIsRefused) {
    std::ostringstream errors;
    Parser parser(errors);
    EXPECT_THROW(parser.read(repeat("<a>", million)), ParseFailed);
    EXPECT_EQ(errors.str(), too_deep + "1\n");
    EXPECT_EQ(depth_of(parser.root()), Parser::max_depth);
}

TEST(XmlDepth, ExactlyTheLimitIsAccepted) {
    const size_t limit = Parser::max_depth;
    auto nest = [](size_t n, std::string_view inner) {
        return repeat("<a>", n) + std::string(inner) + repeat("</a>", n);
    };
    EXPECT_TRUE(parse(nest(limit, "x")).ok);
    Parser parser;
    EXPECT_EQ(depth_of(parser.read(nest(limit - 1, "<a/>"))), limit);
    // One more, in a stream and on a line of its own, names its line.
    EXPECT_EQ(parse(nest(limit, "\n<b/>"), Parser::FOLD_TEXT, true).errors, too_deep + "2\n");
    // Siblings at the deepest level do not add depth.
    EXPECT_TRUE(parse(nest(limit - 1, "<b/><b/>")).ok);
}

TEST(XmlDepth, CodeBuiltMillionLevelTreeIsCopiedSearchedAndDestroyed) {
    Element* bottom = nullptr;
    std::unique_ptr<Element> root = chain(million, &bottom);
    bottom->set_name("x");
    EXPECT_EQ(&root->get_descendant("x"), bottom);
    EXPECT_EQ(root->get_descendants("x").size(), 1u);
    EXPECT_EQ(root->get_descendants("a", "a").size(), 1u);

    Element target("t");
    root->deep_copy()->copy_to(target);
    EXPECT_EQ(depth_of(target), million);
    target.merge(*root);
    EXPECT_EQ(target.children().size(), 2u);
    target.clear_children();
    EXPECT_TRUE(target.children().empty());
    // Destroying copy and root here must not recurse a million frames deep.
}

// Writing at depth: the output grows with the square of the depth (every line is indented), so
// the depth is modest, but a thread with a small stack makes one frame per level fail all the same.
TEST(XmlDepth, DeepTreesAreWrittenWithoutRecursion) {
    Element* bottom = nullptr;
    std::unique_ptr<Element> root = chain(3000, &bottom);
    std::string text, copied;
    std::function<void()> work = [&] {
        text = root->to_string();
        std::ostringstream out;
        root->deep_copy()->write_to(out);
        copied = out.str();
        root.reset();
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto run = [](void* f) -> void* {
        return (*static_cast<std::function<void()>*>(f))(), nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &work), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(copied, text);
    EXPECT_EQ(text.substr(0, 10) + text.substr(text.size() - 12), "<a>\n  <a>\n  </a>\n</a>\n");
    EXPECT_NE(text.find(std::string(2 * 2998, ' ') + "<a/>\n"), std::string::npos);
}

}  // namespace
