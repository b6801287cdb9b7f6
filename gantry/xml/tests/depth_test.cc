// Deep trees: documents from the network may nest without limit, and trees built in code may be
// deeper still. Parsing refuses more than Parser::max_depth levels; everything that walks a tree
// must work at any depth without recursing.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <sstream>

#include "gantry/xml/tests/parse_helpers.h"
#include "gantry/xml/xml.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::Parser;
using Gantry::XML::Testing::parse;

constexpr size_t million = 1000000;

std::string nest(size_t n, const std::string& inner) {
    std::string open, close;
    for (size_t i = 0; i < n; i++)
        open += "<a>", close += "</a>";
    return open + inner + close;
}

// A chain of elements named a, depth levels deep, built in code.
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
    EXPECT_EQ(target.children().size(), 2u);
    EXPECT_EQ(target.get_descendants("x").size(), 2u);
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
    EXPECT_EQ(text.substr(0, 10) + text.substr(text.size() - 12), "<a>\n  <a>\n  </a>\n</a>\n");
    EXPECT_NE(text.find(std::string(2 * 2998, ' ') + "<a/>\n"), std::string::npos);
}

}  // namespace
