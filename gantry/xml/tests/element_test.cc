#include <gtest/gtest.h>

#include <sstream>
#include <utility>
#include <vector>

#include "gantry/xml/xml.h"
#include "tests/support/test_support.h"

namespace {

using Gantry::XML::Element;
using Gantry::XML::Parser;
using Gantry::XML::PathQuery;

std::unique_ptr<Element> tree(const std::string& text) {
    Parser parser;
    parser.read(text);
    return parser.detach_root();
}

TEST(XmlElementLookup, ChildrenAndDescendantsInDocumentOrder) {
    auto root = tree("<r><a>1</a><b/><a>2</a></r>");
    EXPECT_EQ(root->get_child(1).name(), "b");
    EXPECT_EQ(root->get_child("a", 1).content(), "2");
    EXPECT_EQ(&root->get_child("a", 2), &Element::none);
    // Lookups chain through none without null checks.
    EXPECT_EQ(&root->get_child("x").get_child("y").get_child(0), &Element::none);
    EXPECT_TRUE(&root->make_child("b") == &root->get_child(1) &&
                root->make_child("c").parent() == root.get());

    // Pre-order: the x inside the first child comes ahead of the second child's.
    auto first = tree("<r><a><b><x id='deep'/></b></a><x id='shallow'/></r>");
    EXPECT_EQ(first->get_descendant("x").get_attr("id"), "deep");
    auto pruned =
        tree("<r><e id='1'><e id='2'/></e><skip><e id='3'/></skip><e id='4'/><skip id='5'/></r>");
    auto ids = [&](const char* name, const char* prune) {
        std::string out;
        for (const Element* e : pruned->get_descendants(name, prune))
            out += e->get_attr("id", "?");
        return out;
    };
    // A pruned element is still collected when it matches.
    EXPECT_EQ(ids("e", "") + " " + ids("e", "skip") + " " + ids("skip", "skip"), "1234 124 ?5");
}

TEST(XmlElementAttributes, TypedGettersAndSetters) {
    auto e = tree("<a n='42x' bad='x' big='9000000000' t='Yes' o='1' f='no' e='' r='2.5e2'/>");
    // A value that is there but not a number reads as 0, not as the default.
    EXPECT_EQ(std::to_string(e->get_attr_int("n")) + " " +
                  std::to_string(e->get_attr_int("bad", 5)) + " " +
                  std::to_string(e->get_attr_int("missing", 5)),
              "42 0 5");
    EXPECT_EQ(e->get_attr_int64("big"), 9000000000LL);
    EXPECT_TRUE(e->get_attr_bool("t") && e->get_attr_bool("o") &&
                e->get_attr_bool("missing", true));
    EXPECT_FALSE(e->get_attr_bool("f", true) || e->get_attr_bool("e", true));
    EXPECT_DOUBLE_EQ(e->get_attr_real("r"), 250.0);
    Element s("a");
    s.set_attr_int64("l", 123456789012345LL);
    s.set_attr_real("big", 1e20);
    s.set_attr_bool("b", true);
    EXPECT_EQ(s.to_string(), "<a b=\"true\" big=\"1e+20\" l=\"123456789012345\"/>\n");
    EXPECT_TRUE(s.remove_attr("b") && !s.remove_attr("b"));
}

// Content is not written beside children, but a text child is, on its own line.
TEST(XmlElementTree, AddDetachAndReplace) {
    Element root("r", "not written");
    Element& a = root.add("a", "1");
    Element& b = root.add("b");
    root.add(std::make_unique<Element>("c")).add("", "text");
    std::unique_ptr<Element> detached = b.detach();
    EXPECT_TRUE(detached.get() == &b && b.parent() == nullptr && detached->detach() == nullptr);
    std::unique_ptr<Element> old = a.replace_with(std::move(detached));
    EXPECT_TRUE(old.get() == &a && !old->parent() && root.get_child(0).parent() == &root);
    EXPECT_EQ(root.to_string(true),
              "<?xml version=\"1.0\"?>\n<r>\n  <b/>\n  <c>\ntext\n  </c>\n</r>\n");
    EXPECT_EQ(old->replace_with(std::make_unique<Element>("x")), nullptr);
}

TEST(XmlElementTree, AnAncestorCannotBecomeItsOwnDescendant) {
    auto root = std::make_unique<Element>("r");
    Element& a = root->add("a");
    Element* raw = root.get();
    // The refused tree is let go, not deleted under its own descendant.
    EXPECT_TRUE(&a.add(std::move(root)) == &Element::none && a.children().empty());
    Element& b = a.add("b");
    EXPECT_EQ(b.replace_with(std::unique_ptr<Element>(raw)), nullptr);
    EXPECT_TRUE(&a.get_child(0) == &b && raw->parent() == nullptr);
    delete raw;
    Element& none = Element::none;  // and none never changes
    EXPECT_EQ(&none.add("x"), &none);
    none.set_content("c");
    none.merge(*tree("<r a='1'><x/></r>"));
    EXPECT_EQ(none.to_string(), "<!NONE!/>\n");
}

TEST(XmlElementTree, CopyAndMerge) {
    auto source = tree("<s a='1' b='2'>\n<x>1</x><y><z/></y></s>");
    auto target = tree("<t c='3'>old<gone/></t>");
    source->copy_to(*target);
    EXPECT_EQ(target->to_string(), source->to_string());
    EXPECT_EQ(target->get_child("y").line(), 2);
    // Copying a tree over one of its own descendants.
    Element& y = source->get_child("y");
    source->copy_to(y);
    EXPECT_EQ(y.parent(), source.get());
    EXPECT_EQ(y.to_string(), "<s a=\"1\" b=\"2\">\n  <x>1</x>\n  <y>\n    <z/>\n  </y>\n</s>\n");
    auto base = tree("<s a='0' c='9'><x>0</x></s>");
    EXPECT_TRUE(base->merge_xml("<s a='1' b='2'><x>1</x></s>", std::cerr));
    EXPECT_EQ(base->to_string(), "<s a=\"1\" b=\"2\" c=\"9\">\n  <x>0</x>\n  <x>1</x>\n</s>\n");
    // Merging an element into itself doubles its children rather than looping.
    base->merge(*base);
    EXPECT_EQ(base->get_children("x").size(), 4u);
    std::ostringstream errors;
    EXPECT_FALSE(base->merge_xml("<other b='1'/>", errors));
    EXPECT_EQ(errors.str(), "Wrong root name in merged XML: expecting s but got other\n");
}

// xmllint reads back every value the writer escapes, and agrees with the parser on character
// references of every UTF-8 length, decimal and hex, up to the last code point.
TEST(XmlElementWriting, XmllintReadsWhatWeWriteAndParse) {
    CORVID_REQUIRE_PROGRAM("xmllint");
    const std::vector<std::string> values = {
        "x&y<z>", "it's \"x\" & <y>", "caf\xC3\xA9 \xF0\x9F\x98\x80", "1 < 2 && \"3\" > 'x'"};
    Element e("a");
    for (size_t i = 0; i < values.size(); i++)
        e.set_attr("v" + std::to_string(i), values[i]);
    e.add("t", values.back());
    std::string text = e.to_string(true);
    text.insert(text.rfind("</a>"),
                "<r>&#x1F600;-&#x10348;-&#xE9;-&#233;-&#x20AC;-&#65536;-&#1114111;</r>");
    Corvid::Testing::TempDir dir;
    Corvid::Testing::write_file(dir.file("a.xml"), text);
    auto xpath = [&](const std::string& expression) {
        int status = -1;
        std::string out = Corvid::Testing::run_command(
            "xmllint --xpath " + Corvid::Testing::shell_quote(expression) + " " + dir.file("a.xml"),
            &status);
        EXPECT_EQ(status, 0) << expression;
        if (!out.empty() && out.back() == '\n') out.pop_back();  // xmllint adds one
        return out;
    };
    for (size_t i = 0; i < values.size(); i++)
        EXPECT_EQ(xpath("string(/a/@v" + std::to_string(i) + ")"), values[i]);
    EXPECT_EQ(xpath("string(/a/t)"), values.back());
    Parser parser;
    EXPECT_EQ(parser.read(text).get_child("r").content(), xpath("string(/a/r)"));
}

class XmlPathQuery : public ::testing::Test {
  protected:
    Parser parser_;
    Element& root_ = parser_.read(
        "<captured><log file='/var/log/x.log' level='' on='yes' one='1'>text</log>"
        "<captures><save interval='10 seconds'/><capture id='a'>first</capture>"
        "<capture id='b'>second</capture><capture id='c'>third</capture></captures></captured>");
    PathQuery q_{root_};
};

TEST_F(XmlPathQuery, StepsIndexesAndAttributes) {
    EXPECT_EQ(q_.get_element("/"), &root_);
    // Indexes are 1-based; a malformed or out-of-range one matches nothing.
    const std::vector<std::pair<const char*, size_t>> counts = {
        {"captures/capture", 3},    {"/captures/capture/", 3},  {"captures//capture", 3},
        {"captures/capture[4]", 0}, {"captures/capture[0]", 0}, {"captures/capture[x]", 0},
        {"captures/capture[2", 0},  {"captures[2]/capture", 0}, {"nothing/capture", 0}};
    for (const auto& [path, count] : counts)
        EXPECT_EQ(q_.get_elements(path).size(), count) << path;
    // Every step but the last means the first of its name. The attribute is split off at the
    // last '@', so an attribute name holding '@' cannot be reached.
    const std::vector<std::pair<const char*, const char*>> values = {
        {"captures/capture[2]", "second"},
        {"captures[1]/capture[3]/@id", "c"},
        {"captures/capture", "first"},
        {"log@file", "/var/log/x.log"},
        {"@missing", "d"},
        {"log/@absent", "d"},
        {"log/@x@file", "d"},
        {"@", "d"}};
    for (const auto& [path, value] : values)
        EXPECT_EQ(q_.get_value(path, "d"), value) << path;
    // An empty value gives the default, not 0; unlike get_attr_bool, "1" is not true here.
    EXPECT_TRUE(q_.set_value_hex64("log/@h", 0xFEDCBA9876543210ULL) &&
                q_.get_value("log/@h") == "fedcba9876543210" &&
                q_.get_value_hex64("log/@h") == 0xFEDCBA9876543210ULL);
    EXPECT_TRUE(q_.get_value_int("log/@level", 2) == 2 && q_.get_value_bool("log/@on") &&
                q_.get_value_bool("log/@level", true) && !q_.get_value_bool("log/@one", true));
    EXPECT_FALSE(q_.set_value("nothing/@x", "1") || q_.set_value("nothing", "1"));
}

TEST_F(XmlPathQuery, DeleteAddReplaceEnsure) {
    EXPECT_TRUE(q_.delete_elements("captures/capture[2]"));
    EXPECT_EQ(q_.get_value("captures/capture[2]/@id"), "c");
    EXPECT_TRUE(q_.delete_elements("captures/capture"));
    EXPECT_FALSE(q_.delete_elements("captures/capture") || q_.delete_elements(""));
    EXPECT_EQ(q_.get_elements("captures/save").size(), 1u);
    EXPECT_FALSE(q_.add_element("absent", std::make_unique<Element>("capture")));
    EXPECT_EQ(q_.add_element("captures", "capture")->parent(), q_.get_element("captures"));
    EXPECT_TRUE(q_.replace_element("captures/save", std::make_unique<Element>("keep")));
    EXPECT_EQ(root_.get_child("captures").get_child(0).name(), "keep");
    EXPECT_FALSE(q_.replace_element("", std::make_unique<Element>("x")));

    EXPECT_EQ(&q_.ensure_path("captures/keep"), q_.get_element("captures/keep"));
    EXPECT_EQ(q_.ensure_path("epg/save/@interval").parent()->parent(), &root_);
    EXPECT_EQ(q_.get_elements("epg/save").size(), 1u);
}

}  // namespace
