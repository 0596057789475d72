// The package-path, digest and text code of ofdseal, compiled in: OFD
// locations resolve inside the package or not at all, digests computed in
// pieces agree with the library's, and every report text is valid UTF-8 and
// valid JSON.
#include "package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "algorithms.h"
#include "text.h"

namespace {

using ofdseal::ResolveLocation;

TEST(OfdsealPaths, ResolveLocation) {
  struct Row {
    const char* base;
    const char* loc;
    const char* expected;  // null: refused
  };
  const Row rows[] = {
      {"/", "Doc_0/Document.xml", "/Doc_0/Document.xml"},
      {"/Doc_0/Signs", "Sign_0/Signature.xml",
       "/Doc_0/Signs/Sign_0/Signature.xml"},
      {"/Doc_0/Signs", "/Doc_0/Pages/Page_0/Content.xml",
       "/Doc_0/Pages/Page_0/Content.xml"},
      {"/Doc_0/Signs/Sign_0", "../../Res/a.png", "/Doc_0/Res/a.png"},
      {"/Doc_0", "./Pages//Page_0/./Content.xml",
       "/Doc_0/Pages/Page_0/Content.xml"},
      {"/Doc_0", "\\Doc_0\\Document.xml", "/Doc_0/Document.xml"},
      {"/Doc_0", "  Signs/Signatures.xml\n", "/Doc_0/Signs/Signatures.xml"},
      {"/", "Doc_0/a/../b.xml", "/Doc_0/b.xml"},
      {"/", "../OFD.xml", nullptr},
      {"/Doc_0", "../../etc/passwd", nullptr},
      {"/", "/../etc/passwd", nullptr},
      {"/", "\\..\\..\\evil", nullptr},
      {"/", "C:\\Windows\\win.ini", nullptr},
      {"/", "c:/x", nullptr},
      {"/", "file:///etc/passwd", nullptr},
      {"/", "http://host/x.xml", nullptr},
      {"/", "", nullptr},
      {"/", "   ", nullptr},
      {"/", "/", nullptr},
      {"/Doc_0", "..", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.base) + " + " + row.loc);
    std::string path;
    bool ok = ResolveLocation(row.base, row.loc, &path);
    EXPECT_EQ(ok, row.expected != nullptr);
    if (ok && row.expected) {
      EXPECT_EQ(path, row.expected);
    }
  }
  std::string path;
  EXPECT_FALSE(ResolveLocation("/", std::string("a\0b", 3), &path));
}

TEST(OfdsealPaths, DirectoryOf) {
  EXPECT_EQ(ofdseal::DirectoryOf("/OFD.xml"), "/");
  EXPECT_EQ(ofdseal::DirectoryOf("/Doc_0/Signs/Signatures.xml"),
            "/Doc_0/Signs");
}

TEST(OfdsealText, Utf8) {
  struct Row {
    std::string in;
    bool valid;
    std::string repaired;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Row rows[] = {
      {"plain", true, "plain"},
      {"\xE6\xB5\x8B\xE8\xAF\x95", true, "\xE6\xB5\x8B\xE8\xAF\x95"},
      {"\xC3\xA9", true, "\xC3\xA9"},
      {"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
      {"\xC0\xAF", false, r + r},                  // overlong "/"
      {"\xE0\x80\xAF", false, r + r + r},          // overlong
      {"\xED\xA0\x80", false, r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", false, r + r + r + r},  // above U+10FFFF
      {"a\xE6\xB5", false, "a" + r + r},           // cut short
      {"\xFF", false, r},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ofdseal::IsUtf8(row.in), row.valid) << row.in;
    EXPECT_EQ(ofdseal::RepairUtf8(row.in), row.repaired) << row.in;
  }
}

TEST(OfdsealText, DisplayText) {
  EXPECT_EQ(ofdseal::DisplayText(std::string("name\0\0", 6)), "name");
  EXPECT_EQ(ofdseal::DisplayText("\xB2\xE2\xCA\xD4"), "测试");  // GBK
}

TEST(OfdsealText, JsonStringsParseBack) {
  std::string all;
  for (int c = 1; c < 128; ++c) all += static_cast<char>(c);
  const std::string texts[] = {"", all, "测试 \"quoted\" \\ /", "\x1F\x7F",
                               std::string("nul \0 \xC2\x9B \xE2\x80\xA8", 12)};
  for (const std::string& text : texts) {
    nlohmann::json j = nlohmann::json::parse(ofdseal::JsonString(text));
    EXPECT_EQ(j.get<std::string>(), text);
  }
  // Invalid UTF-8 still gives valid JSON.
  nlohmann::json j = nlohmann::json::parse(ofdseal::JsonString("a\xFF"));
  EXPECT_EQ(j.get<std::string>(), "a\xEF\xBF\xBD");
}

// A value of a text report stays on its line and cannot restyle it.
TEST(OfdsealText, EscapeText) {
  const std::pair<std::string, std::string> rows[] = {
      {"plain 测试 \\ \"x\"", "plain 测试 \\ \"x\""},
      {"a\nVerdict: valid\r\n", "a\\nVerdict: valid\\r\\n"},
      {"\t\x1b[2J\x7F", "\\t\\x1b[2J\\x7f"},
      {std::string("\0", 1), "\\x00"},
      {"\xC2\x85 \xC2\x9B", "\\u0085 \\u009b"},          // C1 NEL, CSI
      {"\xE2\x80\xA8\xE2\x80\xA9", "\\u2028\\u2029"},    // separators
      {"\xE2\x80\xAE\xE2\x81\xA6", "\\u202e\\u2066"},    // bidi
      {"\xC2\xA0\xE2\x80\xA7", "\xC2\xA0\xE2\x80\xA7"},  // neighbours stay
      {"bad \xFF", "bad \xEF\xBF\xBD"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ofdseal::EscapeText(row.first), row.second) << row.first;
}

TEST(OfdsealText, JsonValues) {
  ofdseal::Json doc = ofdseal::Json::Object();
  doc.Set("n", 5022u)
      .Set("neg", static_cast<int64_t>(-7))
      .Set("t", true)
      .Set("null", ofdseal::Json())
      .Set("empty", ofdseal::Json::Array())
      .Set("list",
           ofdseal::Json::Array().Push("x").Push(ofdseal::Json::Object()));
  nlohmann::json j = nlohmann::json::parse(doc.Dump());
  EXPECT_EQ(j, nlohmann::json::parse(
                   R"({"n":5022,"neg":-7,"t":true,"null":null,"empty":[],)"
                   R"("list":["x",{}]})"));
}

}  // namespace

// Reference digests are computed piece by piece; each sink must give what
// the library gives for the whole, however the input is split.
TEST(OfdsealDigests, SinksAgreeWithTheLibrary) {
  std::string data(70000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 131) ^ (i >> 7));
  for (const char* name :
       {"sm3", "md5", "sha1", "sha224", "sha256", "sha384", "sha512"}) {
    ofdseal::Digest digest;
    ASSERT_TRUE(ofdseal::DigestByName(name, &digest));
    for (size_t length : {size_t{0}, size_t{55}, size_t{64}, data.size()}) {
      const std::string input = data.substr(0, length);
      std::string whole;
      unsigned int code = 0;
      ASSERT_TRUE(ofdseal::ComputeDigest(digest, input, &whole, &code));
      std::unique_ptr<ofdseal::DigestSink> sink =
          ofdseal::OpenDigestSink(digest);
      ASSERT_TRUE(sink) << name;
      for (size_t at = 0; at < length;) {
        const size_t piece = std::min<size_t>(length - at, 1 + at % 4099);
        sink->Update(reinterpret_cast<const unsigned char*>(input.data()) + at,
                     piece);
        at += piece;
      }
      std::string streamed;
      ASSERT_TRUE(sink->Final(&streamed));
      EXPECT_EQ(streamed, whole) << name << " " << length;
    }
  }
  ofdseal::Digest sha0;
  ASSERT_TRUE(ofdseal::DigestByName("sha0", &sha0));
  EXPECT_FALSE(ofdseal::OpenDigestSink(sha0));  // read whole instead
}
