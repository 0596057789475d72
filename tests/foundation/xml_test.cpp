// XML helpers: lookups by name, setting and deleting, serialising with
// excluded elements.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "KXXml.h"
#include "test_process.h"

namespace {

struct TreeDeleter {
  void operator()(mxml_node_t* n) const { KXXmlFree(n); }
};
using Tree = std::unique_ptr<mxml_node_t, TreeDeleter>;

Tree Parse(const char* text) { return Tree(KXStrToXml(text)); }

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

TEST(Xml, GetReadsTheOpaqueTextOfTheFirstMatch) {
  struct Row {
    const char* doc;
    const char* name;
    const char* expected;  // null: no text
  } rows[] = {
      {"<r><a>x</a></r>", "a", "x"},
      {"<r><a/></r>", "a", nullptr},
      {"<r><a><b>x</b></a></r>", "a", nullptr},
      {"<r><a><b>x</b></a></r>", "b", "x"},
      {"<r><a> two words </a><a>second</a></r>", "a", " two words "},
      {"<r><A>x</A></r>", "a", nullptr},  // names are case-sensitive
      {"<?xml version=\"1.0\"?><r><p><WriPicLen>12</WriPicLen></p></r>",
       "WriPicLen", "12"},
      {"<r><a>&lt;&amp;&gt;</a></r>", "a", "<&>"},
  };
  for (const Row& row : rows) {
    Tree t = Parse(row.doc);
    ASSERT_NE(t, nullptr) << row.doc;
    const char* got = KXXmlGet(t.get(), row.name);
    if (row.expected == nullptr)
      EXPECT_EQ(got, nullptr) << row.doc;
    else
      EXPECT_STREQ(got, row.expected) << row.doc;
  }
}

TEST(Xml, ParseFailuresAndNulls) {
  EXPECT_EQ(KXStrToXml(nullptr), nullptr);
  // Malformed documents, some of which Mini-XML abandons half built: nothing
  // may leak (checked by the sanitizer build).
  for (const char* bad : {"<a><b>", "<v ?x>", "<a/><b/>", "text", " <r/>",
                          "", "<r><a>x</r>", "<!-- c --><r/>"})
    EXPECT_EQ(KXStrToXml(bad), nullptr) << bad;
  // Trailing text after the root, and a declaration holding what follows.
  Tree tail = Parse("<r/>tail");
  ASSERT_NE(tail, nullptr);
  // A byte-order mark before the document, and a DOCTYPE holding the root.
  Tree bom = Parse("\xEF\xBB\xBF<r><a>x</a></r>");
  ASSERT_NE(bom, nullptr);
  EXPECT_STREQ(KXXmlGet(bom.get(), "a"), "x");
  Tree doctype = Parse("<!DOCTYPE r>\n<r><a>y</a></r>");
  ASSERT_NE(doctype, nullptr);
  EXPECT_STREQ(KXXmlGet(doctype.get(), "a"), "y");
  Tree decl = Parse("<?xml version=\"1.0\"?>\n<a><b>1</b></a>\n");
  ASSERT_NE(decl, nullptr);
  EXPECT_STREQ(KXXmlGet(decl.get(), "b"), "1");
  EXPECT_EQ(Str(KXXmlToStr(decl.get(), nullptr)),
            "<?xml version=\"1.0\"?>\n<a><b>1</b></a>\n");
  EXPECT_EQ(KXXmlGet(nullptr, "a"), nullptr);
  EXPECT_EQ(KXXmlFind(nullptr, "a"), nullptr);
  EXPECT_FALSE(KXXmlDel(nullptr, "a"));
  EXPECT_TRUE(KXXmlToStr(nullptr, nullptr).empty());
}

// Mini-XML's parse errors go to the log at DEBUG level, on any thread, and
// never to the host program's standard error.
TEST(Xml, ParseErrorsGoToTheLogNotToStandardError) {
  fx::TestLog::Watch(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(KXStrToXml("<a><b></a>"), nullptr);
  std::thread([] { EXPECT_EQ(KXStrToXml("<r><x></r>"), nullptr); }).join();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::string log = fx::TestLog::Since();
  for (const char* tag : {"</a>", "</r>"}) {
    const size_t at = log.find(std::string("Mismatched close tag ") + tag);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.rfind("[DEBUG ", at), log.rfind('\n', at) + 1) << log;
  }
}

TEST(Xml, FindNeverMatchesTheNodeItself) {
  Tree t(KXXmlNew("r"));
  EXPECT_EQ(KXXmlFind(t.get(), "r"), nullptr);
  Tree nested = Parse("<r><r>inner</r></r>");
  mxml_node_t* outer = mxmlFindElement(nested.get(), nested.get(), "r", nullptr,
                                       nullptr, MXML_DESCEND_FIRST);
  mxml_node_t* top = mxmlGetType(nested.get()) == MXML_ELEMENT &&
                             std::string(mxmlGetElement(nested.get())) == "r"
                         ? nested.get()
                         : outer;
  EXPECT_STREQ(KXXmlGet(top, "r"), "inner");
}

TEST(Xml, SetChangesOrAppends) {
  Tree t = Parse("<r><a>x</a></r>");
  mxml_node_t* a = KXXmlSet(t.get(), "a", "y");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(KXXmlGet(t.get(), "a"), "y");
  ASSERT_NE(KXXmlSet(t.get(), "c", "v"), nullptr);
  EXPECT_EQ(Str(KXXmlToStr(t.get(), nullptr)), "<r><a>y</a><c>v</c></r>\n");
  // A null value counts as "", and an element without text stays as it is.
  ASSERT_NE(KXXmlSet(t.get(), "d", nullptr), nullptr);
  EXPECT_STREQ(KXXmlGet(t.get(), "d"), "");
  Tree empty = Parse("<r><e/></r>");
  EXPECT_NE(KXXmlSet(empty.get(), "e", "ignored"), nullptr);
  EXPECT_EQ(KXXmlGet(empty.get(), "e"), nullptr);
}

TEST(Xml, DelRemovesTheFirstMatchWithItsSubtree) {
  Tree t = Parse("<r><a><b>1</b></a><a>2</a></r>");
  EXPECT_TRUE(KXXmlDel(t.get(), "a"));
  EXPECT_EQ(Str(KXXmlToStr(t.get(), nullptr)), "<r><a>2</a></r>\n");
  EXPECT_FALSE(KXXmlDel(t.get(), "b"));
}

TEST(Xml, ToStrLeavesExcludedElementsOutAndPutsThemBackLast) {
  Tree t = Parse("<r><b>2</b><a>1</a><c>3</c></r>");
  EXPECT_EQ(Str(KXXmlToStr(t.get(), "b||c|missing")), "<r><a>1</a></r>\n");
  EXPECT_EQ(Str(KXXmlToStr(t.get(), nullptr)),
            "<r><a>1</a><b>2</b><c>3</c></r>\n");
  EXPECT_EQ(KXXmlToStr(t.get(), nullptr).tag(), ckxstr::kUtf8);
}

TEST(Xml, ToStrReturnsLongDocumentsWhole) {
  for (size_t textLen : {8180u, 8184u, 20000u}) {
    std::string text(textLen, 'x');
    std::string doc = "<r>" + text + "</r>";  // 7 bytes of markup
    Tree t = Parse(doc.c_str());
    ASSERT_NE(t, nullptr);
    ckxstr s = KXXmlToStr(t.get(), nullptr);
    // Mini-XML ends the document with a line break.
    EXPECT_TRUE(Str(s) == doc + "\n") << textLen << ": " << s.length();
    EXPECT_EQ(s.c_str()[s.length()], '\0');
  }
}

}  // namespace
