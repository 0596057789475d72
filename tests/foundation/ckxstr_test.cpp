// ckxstr: storage and wrapping, search and edit, transforms, Base64/hex,
// formatting, files and encoding conversions.
#include "ckxstr.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

ckxstr Make(const std::string& bytes, int tag = ckxstr::kBytes) {
  ckxstr s;
  EXPECT_TRUE(s.assign(bytes.data(), static_cast<uint32_t>(bytes.size()), false,
                       false, tag));
  return s;
}

std::string Bytes(const ckxstr& s) {
  return std::string(s.c_str(), s.length());
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "ckxstr_" + std::to_string(getpid()) + "_" + name;
}

// ---------------------------------------------------------------------------
// Storage, growth, wrapping, copies

TEST(CkxstrStorage, GrowsFromInlineToHeapInMultiplesOf32) {
  ckxstr s;
  EXPECT_EQ(s.capacity(), 21u);
  EXPECT_FALSE(s.isExternal());
  ASSERT_TRUE(s.assign("abcdefghijklmnopqrstu", 21));
  EXPECT_FALSE(s.isExternal());
  EXPECT_EQ(s.capacity(), 21u);
  ASSERT_TRUE(s.push_back('v'));  // 22 bytes: a 32-byte buffer
  EXPECT_TRUE(s.isExternal());
  EXPECT_EQ(s.capacity(), 31u);
  EXPECT_EQ(Bytes(s), "abcdefghijklmnopqrstuv");
  EXPECT_EQ(s.c_str()[22], '\0');

  struct Row {
    uint32_t request, capacity;
  } rows[] = {{22, 31}, {31, 31}, {32, 63}, {63, 63}, {64, 95}, {1000, 1023}};
  for (const Row& r : rows) {
    ckxstr t;
    ASSERT_TRUE(t.resize(r.request, false));
    EXPECT_EQ(t.capacity(), r.capacity) << r.request;
    EXPECT_EQ(t.length(), r.request);
    EXPECT_EQ(t.c_str()[r.request], '\0');
  }
}

TEST(CkxstrStorage, RefusesLengthsAboveOneGiB) {
  ckxstr s = Make("keep");
  EXPECT_FALSE(s.resize(ckxstr::kMaxLength + 1, true));
  EXPECT_FALSE(s.reserve(0xFFFFFFFFu, true));
  char byte = 'x';
  EXPECT_FALSE(s.assign(&byte, ckxstr::kMaxLength + 1, true, false));
  EXPECT_EQ(Bytes(s), "keep");
}

TEST(CkxstrStorage, ResizeWithoutKeepNeverExposesOldBytes) {
  ckxstr s = Make(std::string(40, 'a'));
  ASSERT_TRUE(s.reserve(100, false));
  EXPECT_EQ(s.length(), 0u);
  EXPECT_STREQ(s.c_str(), "");
  ASSERT_TRUE(s.resize(5, true));
  ASSERT_TRUE(s.resize(3, true));  // cut: terminator moves
  EXPECT_EQ(s.length(), 3u);
  EXPECT_EQ(s.c_str()[3], '\0');
}

TEST(CkxstrStorage, WrapWithRoomEditsCallerBufferInPlace) {
  char buffer[] = "hello#";  // "#": the byte behind the wrapped five
  ckxstr s;
  ASSERT_TRUE(s.assign(buffer, 5, true, false, ckxstr::kUtf8));
  EXPECT_EQ(s.c_str(), buffer);
  EXPECT_EQ(s.capacity(), 5u);
  EXPECT_EQ(s.tag(), ckxstr::kUtf8);
  ASSERT_TRUE(s.toUpper());
  EXPECT_EQ(s.c_str(), buffer);
  EXPECT_STREQ(buffer, "HELLO#");
  ASSERT_TRUE(s.push_back('!'));  // beyond the room: copied out
  EXPECT_NE(s.c_str(), buffer);
  EXPECT_EQ(Bytes(s), "HELLO!");
  EXPECT_STREQ(buffer, "HELLO#");
}

// Edits of a wrapped caller buffer, checked against the same edit of an
// owned copy.
using Edit = bool (*)(ckxstr&);
const Edit kEdits[] = {
    [](ckxstr& s) { return s.toUpper(); },
    [](ckxstr& s) { return s.toLower(); },
    [](ckxstr& s) { return s.toReverse(); },
    [](ckxstr& s) { return s.toTrim(); },
    [](ckxstr& s) { return s.erase(0, 3u); },
    [](ckxstr& s) { return s.replace(2, 1u, "h", 1); },
    [](ckxstr& s) { return s.replace(2, 5u, "Hi", 2); },
    [](ckxstr& s) { return s.resize(0, true); },
    [](ckxstr& s) { return s.resize(s.length(), true); },
    [](ckxstr& s) { return s.push_back('x'); },
    [](ckxstr& s) { return s.eraseAll("l", 1); },
    [](ckxstr& s) { return s.assign("x", 1); },
};
const char kSource[] = "  Hello, World  ";
const uint32_t kSourceLength = sizeof(kSource) - 1;

TEST(CkxstrStorage, WrapWithoutRoomNeverWritesCallerBuffer) {
  // Every editing operation must copy out first; the source is read-only.
  for (Edit edit : kEdits) {
    ckxstr s;
    ASSERT_TRUE(s.assign(kSource, kSourceLength, true, true, ckxstr::kUtf8));
    EXPECT_EQ(s.capacity(), 0u);
    EXPECT_TRUE(edit(s));
    EXPECT_NE(s.c_str(), kSource);
    EXPECT_EQ(s.c_str()[s.length()], '\0');
  }
  EXPECT_STREQ(kSource, "  Hello, World  ");
}

TEST(CkxstrStorage, WrapWithRoomNeverWritesPastCallerBuffer) {
  // A heap buffer of exactly the wrapped length and no terminator: the
  // sanitizer build reports any byte written or read behind it.
  for (size_t row = 0; row < sizeof kEdits / sizeof kEdits[0]; ++row) {
    std::unique_ptr<char[]> buffer(new char[kSourceLength]);
    memcpy(buffer.get(), kSource, kSourceLength);
    ckxstr s;
    ASSERT_TRUE(s.assign(buffer.get(), kSourceLength, true, false));
    ckxstr owned = Make(kSource);
    ASSERT_TRUE(kEdits[row](s)) << row;
    ASSERT_TRUE(kEdits[row](owned)) << row;
    EXPECT_EQ(Bytes(s), Bytes(owned)) << row;
  }
}

TEST(CkxstrStorage, CopiesShareWrappedBuffersAndDuplicateOwnedOnes) {
  char buffer[] = "caller's bytes";
  ckxstr wrapped;
  ASSERT_TRUE(wrapped.assign(buffer, 14, true, true, ckxstr::kMbcs));
  ckxstr sharing(wrapped);
  EXPECT_EQ(sharing.c_str(), buffer);
  EXPECT_EQ(sharing.tag(), ckxstr::kMbcs);

  ckxstr owned = Make(std::string(40, 'z'), ckxstr::kUtf8);
  ckxstr copy(owned);
  EXPECT_NE(copy.c_str(), owned.c_str());
  EXPECT_EQ(Bytes(copy), Bytes(owned));
  EXPECT_EQ(copy.tag(), ckxstr::kUtf8);
  ASSERT_TRUE(owned.toUpper());
  EXPECT_EQ(Bytes(copy), std::string(40, 'z'));  // independent

  ckxstr small = Make("short");
  ckxstr assigned;
  assigned = small;
  ASSERT_TRUE(small.toUpper());
  EXPECT_EQ(Bytes(assigned), "short");

  assigned = assigned;  // self-assignment keeps the content
  EXPECT_EQ(Bytes(assigned), "short");

  ckxstr moved(std::move(copy));
  EXPECT_EQ(Bytes(moved), std::string(40, 'z'));
  EXPECT_EQ(copy.length(), 0u);
  EXPECT_FALSE(copy.isExternal());
}

TEST(CkxstrStorage, ClearAndSwap) {
  ckxstr a = Make(std::string(30, 'a'), ckxstr::kUtf8);
  ckxstr b = Make("b", ckxstr::kMbcs);
  a.swap(b);
  EXPECT_EQ(Bytes(a), "b");
  EXPECT_EQ(a.tag(), ckxstr::kMbcs);
  EXPECT_EQ(Bytes(b), std::string(30, 'a'));
  b.clear();
  EXPECT_EQ(b.length(), 0u);
  EXPECT_EQ(b.tag(), 0);
  EXPECT_FALSE(b.isExternal());
  EXPECT_STREQ(b.c_str(), "");
}

TEST(CkxstrStorage, EditsFromOwnContent) {
  // Sources inside the string itself survive reallocation and tail moves.
  ckxstr s = Make("0123456789abcdefghij");  // 20 bytes, inline
  ASSERT_TRUE(s.append(s.c_str(), s.length()));
  EXPECT_EQ(Bytes(s), "0123456789abcdefghij0123456789abcdefghij");
  ckxstr t = Make("abcdef");
  ASSERT_TRUE(t.insert(1, t.c_str() + 2, 3));
  EXPECT_EQ(Bytes(t), "acdebcdef");
  ASSERT_TRUE(t.assign(t.c_str() + 2, 4));
  EXPECT_EQ(Bytes(t), "debc");
  ckxstr u = Make(std::string(30, 'x') + "END");
  ASSERT_TRUE(u.replace(0, 30u, u.c_str() + 30, 3));
  EXPECT_EQ(Bytes(u), "ENDEND");
}

TEST(CkxstrStorage, EmbeddedZerosAndSubstr) {
  ckxstr s = Make(std::string("a\0b\0c", 5), ckxstr::kMbcs);
  EXPECT_EQ(s.length(), 5u);
  ckxstr sub = s.substr(-3, 10);  // from position 3
  EXPECT_EQ(Bytes(sub), std::string("\0c", 2));
  EXPECT_EQ(sub.tag(), ckxstr::kUtf8);
  EXPECT_EQ(Bytes(s.substr(1, 2)), std::string("\0b", 2));
  EXPECT_EQ(s.substr(99, 1).length(), 0u);
}

// ---------------------------------------------------------------------------
// Search, replace, erase, compare

TEST(CkxstrSearch, FindAndRfind) {
  const uint32_t npos = ckxstr::npos;
  struct Row {
    const char* text;
    bool reverse;
    int pos;
    const char* needle;
    bool ignoreCase;
    uint32_t expected;
  } rows[] = {
      {"abc", false, 0, "abc", false, 0},
      {"abc", false, 0, "c", false, 2},
      {"abc", false, -2, "c", false, 2},     // -2 is position 2
      {"abc", false, -1, "c", false, npos},  // -1 is the end
      {"abc", false, -100, "a", false, 0},   // floored at 0
      {"abc", false, 100, "a", false, npos},
      {"abc", false, 0, "abcd", false, npos},
      {"abc", false, 0, "", false, npos},
      {"aBc", false, 0, "bC", true, 1},
      {"aBc", false, 0, "bC", false, npos},
      {"abab", false, 1, "ab", false, 2},
      {"aXa", true, -1, "a", false, 2},
      {"XXX", true, -1, "a", false, npos},
      {"aXa", true, 1, "a", false, 0},
      {"abab", true, -1, "ab", false, 2},
      {"abab", true, 1, "ab", false, 0},
      {"ABAB", true, 100, "ab", true, 2},
      {"ab", true, -1, "abc", false, npos},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.text);
    uint32_t n = static_cast<uint32_t>(strlen(r.needle));
    uint32_t got = r.reverse ? s.rfind(r.pos, r.needle, n, r.ignoreCase)
                             : s.find(r.pos, r.needle, n, r.ignoreCase);
    EXPECT_EQ(got, r.expected) << r.text << (r.reverse ? " rfind " : " find ")
                               << r.pos << " " << r.needle;
  }
  // Case-insensitive matching looks past zero bytes.
  ckxstr z = Make(std::string("x\0A\0b", 5));
  EXPECT_EQ(z.find(0, std::string("\0a\0B", 4).data(), 4, true), 1u);
  EXPECT_EQ(z.find(0, std::string("\0a\0C", 4).data(), 4, true), npos);
}

TEST(CkxstrSearch, ReplaceAllAndEraseAll) {
  struct Row {
    const char* text;
    const char* needle;
    const char* repl;
    bool ignoreCase;
    const char* expected;
  } rows[] = {
      {"aaa", "aa", "b", false, "ab"},  // right to left
      {"aaaa", "aa", "b", false, "bb"},
      {"abcabc", "abc", "x", false, "xx"},
      {"a.b.c", ".", "--", false, "a--b--c"},
      {"aaa", "a", "aa", false, "aaaaaa"},  // replacements are not rescanned
      {"AbaB", "ab", "x", true, "xx"},
      {"AbaB", "ab", "x", false, "AbaB"},
      {"none", "zz", "y", false, "none"},
      {"aaaa", "aa", "", false, ""},
      {"xyz", "xyzw", "q", false, "xyz"},
      {"0123456789012345678901234", "1", "<one>", false,
       "0<one>234567890<one>234567890<one>234"},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.text, ckxstr::kUtf8);
    EXPECT_TRUE(s.replaceAll(r.needle, static_cast<uint32_t>(strlen(r.needle)),
                             r.repl, static_cast<uint32_t>(strlen(r.repl)),
                             r.ignoreCase))
        << r.text;
    EXPECT_EQ(Bytes(s), r.expected) << r.text << " " << r.needle;
    EXPECT_EQ(s.tag(), ckxstr::kUtf8);
  }
  ckxstr e = Make("a-b--c");
  EXPECT_TRUE(e.eraseAll("-", 1));
  EXPECT_EQ(Bytes(e), "abc");
  EXPECT_FALSE(e.replaceAll("", 0, "x", 1));  // empty needle: refused
  EXPECT_EQ(Bytes(e), "abc");
}

TEST(CkxstrSearch, ReplaceEraseFirstAndLast) {
  ckxstr s = Make("one two one two");
  EXPECT_TRUE(s.replace(0, "two", 3, "2", 1));
  EXPECT_EQ(Bytes(s), "one 2 one two");
  EXPECT_TRUE(s.rreplace(-1, "one", 3, "ONE", 3));
  EXPECT_EQ(Bytes(s), "one 2 ONE two");
  EXPECT_FALSE(s.replace(0, "three", 5, "3", 1));
  EXPECT_FALSE(s.rreplace(-1, "three", 5, "3", 1));
  EXPECT_EQ(Bytes(s), "one 2 ONE two");
  EXPECT_TRUE(s.erase(0, "one ", 4, true));
  EXPECT_EQ(Bytes(s), "2 ONE two");
  EXPECT_TRUE(s.rerase(-1, " two", 4, false));
  EXPECT_EQ(Bytes(s), "2 ONE");
  EXPECT_FALSE(s.erase(0, "x", 1, false));

  struct Row {
    int pos;
    uint32_t count;
    const char* expected;
  } rows[] = {{0, 2, "cdef"},   {-3, 100, "abcd"}, {2, 0, "abcdef"},
              {6, 1, "abcdef"}, {-1, 1, "abcdef"}, {1, 0xFFFFFFFFu, "a"}};
  for (const Row& r : rows) {
    ckxstr t = Make("abcdef");
    EXPECT_TRUE(t.erase(r.pos, r.count));
    EXPECT_EQ(Bytes(t), r.expected) << r.pos << " " << r.count;
  }
  ckxstr u = Make("abcdef");
  EXPECT_TRUE(u.replace(-1, 0u, "XYZ", 3));  // at the end
  EXPECT_TRUE(u.insert(0, "<", 1));
  EXPECT_EQ(Bytes(u), "<abcdefXYZ");
}

TEST(CkxstrSearch, Compare) {
  struct Row {
    const char* text;
    int pos;
    const char* other;
    bool ignoreCase;
    int expected;
  } rows[] = {
      {"ab", 0, "AB", true, 0},     {"abc", 0, "AB", true, 1},
      {"ab", 0, "ABC", true, -1},   {"ab", 0, "AB", false, 1},
      {"abc", 1, "bc", false, 0},   {"abc", -2, "c", false, 0},
      {"abc", 0, "abd", false, -1}, {"abd", 0, "abc", false, 1},
      {"", 0, "", false, 0},        {"", 0, "a", false, -1},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.text);
    EXPECT_EQ(s.compare(r.pos, r.other, static_cast<uint32_t>(strlen(r.other)),
                        r.ignoreCase),
              r.expected)
        << r.text << " vs " << r.other;
  }
  struct Pair {
    std::string a, b;
    int expected;
  } pairs[] = {
      {"abc", "abd", -1},
      {"abc", "ab", 1},
      {"ab", "abc", -1},
      {"abc", "abc", 0},
      {std::string("a\0b", 3), std::string("a\0c", 3), -1},
      {"\xff", "\x01", 1},  // unsigned byte order
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(Make(p.a).compare(Make(p.b)), p.expected);
    EXPECT_EQ(Make(p.a) < Make(p.b), p.expected < 0);
  }
}

// ---------------------------------------------------------------------------
// Whole-content transforms

TEST(CkxstrTransform, CaseReverseTrim) {
  struct Row {
    bool (ckxstr::*op)();
    std::string in, out;
  } rows[] = {
      {&ckxstr::toUpper, "aBc1", "ABC1"},
      {&ckxstr::toLower, "AbC", "abc"},
      {&ckxstr::toUpper, std::string("a\0b", 3), std::string("A\0B", 3)},
      {&ckxstr::toReverse, "abc", "cba"},
      {&ckxstr::toReverse, "", ""},
      {&ckxstr::toTrim, "  ", ""},
      {&ckxstr::toTrim, " a b ", "a b"},
      {&ckxstr::toTrim, "\t\r\n x\n", "x"},
      {&ckxstr::toTrim, "", ""},
      {&ckxstr::toTrim, "ab", "ab"},
      {&ckxstr::toTrim, std::string(30, ' ') + "long" + std::string(30, ' '),
       "long"},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.in, ckxstr::kUtf8);
    EXPECT_TRUE((s.*r.op)());
    EXPECT_EQ(Bytes(s), r.out) << r.in;
    EXPECT_EQ(s.tag(), ckxstr::kUtf8);
    EXPECT_EQ(s.c_str()[s.length()], '\0');
  }
}

TEST(CkxstrTransform, Hex) {
  ckxstr s = Make(std::string("\x01\xab", 2));
  ASSERT_TRUE(s.hexToStr(true));
  EXPECT_EQ(Bytes(s), "01AB");
  ckxstr l = Make(std::string("\x0a\xff\x00", 3));
  ASSERT_TRUE(l.hexToStr(false));
  EXPECT_EQ(Bytes(l), "0aff00");

  struct Row {
    const char* text;
    bool ok;
    std::string bytes;
  } rows[] = {
      {" 01 ab", true, std::string("\x01\xab", 2)},
      {"01AB", true, std::string("\x01\xab", 2)},
      {"\t0a\n ff  ", true, std::string("\x0a\xff", 2)},
      {"", true, ""},
      {"   ", true, ""},
      {"0", false, ""},
      {"0A F", false, ""},  // odd digit count
      {"0 1", false, ""},   // blank inside a pair
      {"0G", false, ""},
      {"zz", false, ""},
      {"01\xff", false, ""},
  };
  for (const Row& r : rows) {
    ckxstr t = Make(r.text, ckxstr::kUtf8);
    EXPECT_EQ(t.strToHex(), r.ok) << r.text;
    if (r.ok)
      EXPECT_EQ(Bytes(t), r.bytes) << r.text;
    else
      EXPECT_EQ(Bytes(t), r.text) << "a failed parse leaves the content";
  }

  std::mt19937 rng(7);
  for (int len = 0; len < 70; ++len) {
    std::string bytes(len, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    ckxstr h = Make(bytes);
    ASSERT_TRUE(h.hexToStr(len % 2 == 0));
    EXPECT_EQ(h.length(), 2u * len);
    ASSERT_TRUE(h.strToHex());
    EXPECT_EQ(Bytes(h), bytes);
  }
}

std::string OpenSslBase64(const std::string& bytes) {
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  int n = EVP_EncodeBlock(out.data(),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  return std::string(reinterpret_cast<char*>(out.data()), n);
}

TEST(CkxstrBase64, MatchesOpenSslAndRoundTrips) {
  std::mt19937 rng(11);
  for (int len = 0; len < 300; len += (len < 70 ? 1 : 37)) {
    std::string bytes(len, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    ckxstr s = Make(bytes);
    ASSERT_TRUE(s.base64Encode(nullptr));
    EXPECT_EQ(Bytes(s), OpenSslBase64(bytes)) << len;
    ASSERT_TRUE(s.base64Decode());
    EXPECT_EQ(Bytes(s), bytes) << len;
  }
}

TEST(CkxstrBase64, SeparatorFollowsEveryLineIncludingTheLast) {
  std::mt19937 rng(5);
  const std::string seps[] = {"\n", "\r\n", "<br/>"};
  for (const std::string& sep : seps) {
    for (int len : {1, 2, 3, 47, 48, 49, 95, 96, 97, 200}) {
      std::string bytes(len, '\0');
      for (char& c : bytes) c = static_cast<char>(rng());
      std::string plain = OpenSslBase64(bytes);
      std::string expected;
      for (size_t i = 0; i < plain.size(); i += 64)
        expected += plain.substr(i, 64) + sep;
      ckxstr s = Make(bytes);
      ASSERT_TRUE(s.base64Encode(sep.c_str()));
      EXPECT_EQ(Bytes(s), expected) << len;
      size_t enc = 4 * ((len + 2) / 3);
      EXPECT_EQ(s.length(), enc + ((enc - 1) / 64 + 1) * sep.size());
      if (sep != "<br/>") {  // blanks between groups decode
        ASSERT_TRUE(s.base64Decode());
        EXPECT_EQ(Bytes(s), bytes);
      }
    }
  }
  ckxstr abc = Make("abc");
  ASSERT_TRUE(abc.base64Encode(""));  // empty separator: none
  EXPECT_EQ(Bytes(abc), "YWJj");
  ckxstr empty;
  ASSERT_TRUE(empty.base64Encode("\n"));
  EXPECT_EQ(Bytes(empty), "");  // no line, so no separator
}

TEST(CkxstrBase64, DecodeRules) {
  struct Row {
    std::string text;
    bool ok;
    std::string bytes;
  } rows[] = {
      {"YWJj", true, "abc"},
      {"YWI=", true, "ab"},
      {"YQ==", true, "a"},
      {"YQ=x", true, "a"},      // "=" in third place ends the data
      {"YQ==YWJj", true, "a"},  // nothing after the end is read
      {"YWJjYQ", true, "abc"},  // trailing partial group ignored
      {"YWJjYQ@", true, "abc"},
      {" YWJj\r\nYWJj \t", true, "abcabc"},
      {"YWJ", true, ""},  // 3 bytes or fewer
      {"", true, ""},
      {"YW Jj", false, ""},  // blank inside a group
      {"YW@j", false, ""},
      {"YW-j", false, ""},
      {"=WJj", false, ""},
      {"Y=Jj", false, ""},
      {"YWJ\xc3", false, ""},  // non-ASCII
      {"\xe4\xb8\xad\x41", false, ""},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.text, ckxstr::kUtf8);
    EXPECT_EQ(s.base64Decode(), r.ok) << r.text;
    if (r.ok)
      EXPECT_EQ(Bytes(s), r.bytes) << r.text;
    else
      EXPECT_EQ(Bytes(s), r.text);
  }
}

TEST(CkxstrTransform, DumpBin) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"", ""},
      {std::string("\x00", 1), "00 \n"},
      {"\x01\xfe", "01 fe \n"},
      {std::string(16, 'A'), std::string() +
                                 [] {
                                   std::string s;
                                   for (int i = 0; i < 16; ++i) s += "41 ";
                                   return s + "\n";
                                 }()},
      {std::string(17, 'A'),
       [] {
         std::string s;
         for (int i = 0; i < 16; ++i) s += "41 ";
         return s + "\n41 \n";
       }()},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.in);
    ASSERT_TRUE(s.dumpBin());
    EXPECT_EQ(Bytes(s), r.out);
  }
}

// ---------------------------------------------------------------------------
// Formatting

TEST(CkxstrFormat, BoundedTo8191BytesPerCall) {
  ckxstr s;
  ASSERT_TRUE(s.format("%s-%04d", "id", 42));
  EXPECT_EQ(Bytes(s), "id-0042");
  ASSERT_TRUE(s.formatAppend("/%x", 255));
  EXPECT_EQ(Bytes(s), "id-0042/ff");

  struct Row {
    size_t produced, kept;
  } rows[] = {
      {8190, 8190}, {8191, 8191}, {8192, 8191}, {10000, 8191}, {100000, 8191}};
  for (const Row& r : rows) {
    std::string big(r.produced, 'q');
    ckxstr f;
    ASSERT_TRUE(f.format("%s", big.c_str()));
    EXPECT_EQ(f.length(), r.kept);
    EXPECT_EQ(Bytes(f), big.substr(0, r.kept));
    ckxstr a = Make("head:");
    ASSERT_TRUE(a.formatAppend("%s", big.c_str()));
    EXPECT_EQ(a.length(), 5 + r.kept);
  }
  // A width far beyond the buffer is cut as well.
  ckxstr w;
  ASSERT_TRUE(w.format("%*d", 50000, 7));
  EXPECT_EQ(w.length(), 8191u);
  EXPECT_FALSE(w.format(nullptr));
  EXPECT_EQ(w.length(), 8191u);
}

// ---------------------------------------------------------------------------
// Files

TEST(CkxstrFile, WriteAppendReadBack) {
  const std::string path = TempPath("rw.bin");
  std::string bytes(
      "\x00\x01"
      "binary\xff",
      9);
  ckxstr s = Make(bytes, ckxstr::kUtf8);
  ASSERT_TRUE(s.writefile(path.c_str(), false));
  ASSERT_TRUE(s.writefile(path.c_str(), true));
  ckxstr r = Make("old", ckxstr::kMbcs);
  ASSERT_TRUE(r.readfile(path.c_str()));
  EXPECT_EQ(Bytes(r), bytes + bytes);
  EXPECT_EQ(r.tag(), ckxstr::kBytes);
  ASSERT_TRUE(s.writefile(path.c_str(), false));  // truncates
  ASSERT_TRUE(r.readfile(path.c_str()));
  EXPECT_EQ(Bytes(r), bytes);

  std::string large(100000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(Make(large).writefile(path.c_str(), false));
  ASSERT_TRUE(r.readfile(path.c_str()));
  EXPECT_EQ(Bytes(r), large);
  unlink(path.c_str());

  ckxstr keep = Make("keep");
  EXPECT_FALSE(keep.readfile(path.c_str()));  // missing
  EXPECT_FALSE(keep.readfile(nullptr));
  EXPECT_EQ(Bytes(keep), "keep");
  EXPECT_FALSE(keep.writefile(nullptr, false));
  EXPECT_FALSE(keep.writefile("/nonexistent-dir/x", false));
  EXPECT_FALSE(keep.writefile("/dev/full", false));  // short write
}

TEST(CkxstrFile, ReadsFilesOfUnknownSizeAndRefusesHugeOnes) {
  ckxstr s;
  ASSERT_TRUE(s.readfile("/proc/self/status"));  // reports size 0
  EXPECT_NE(s.find(0, "Name:", 5), ckxstr::npos);

  const std::string path = TempPath("huge.bin");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(ckxstr::kMaxLength) + 1),
            0);
  fclose(f);
  ckxstr keep = Make("keep");
  EXPECT_FALSE(keep.readfile(path.c_str()));
  EXPECT_EQ(Bytes(keep), "keep");
  unlink(path.c_str());
}

// ---------------------------------------------------------------------------
// Encodings

std::string Wide(const std::u32string& text) {
  static_assert(sizeof(wchar_t) == 4, "wide text is 32-bit");
  return std::string(reinterpret_cast<const char*>(text.data()),
                     text.size() * 4);
}

TEST(CkxstrEncoding, AutoType) {
  struct Row {
    std::string bytes;
    int tag;
  } rows[] = {
      {"", 0},
      {"\xb0", 0},  // fewer than 2 bytes
      {"\xff\xfe", 2},
      {"\xff\xfe\x41\x00"s, 2},
      {"\xff\xfe\x41", 1},  // odd length: no wide marker
      {"\xfe\xff\x00\x41"s, 4},
      {"\xef\xbb\xbf\x41", 3},
      {"\xef\xbb\xbf", 3},
      {"abc", 0},
      {"ab\xe5\x95\x8a", 3},
      {"\xb0\xa1", 1},
      {"abc\xe5\x95", 1},  // cut short
      {"\xe5\x41\x8a", 1},
      {"\xc3\xa9", 1},  // two-byte forms look like GBK
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.bytes, ckxstr::kUtf8);
    EXPECT_EQ(s.autoType(), r.tag) << testing::PrintToString(r.bytes);
    EXPECT_EQ(s.tag(), r.tag);
    EXPECT_EQ(Bytes(s), r.bytes);
  }
}

// One text in the three encodings.
struct Sample {
  std::string gbk, utf8;
  std::u32string wide;
};

const Sample kSamples[] = {
    {"", "", U""},
    {"abc", "abc", U"abc"},
    {"\xb0\xa1", "\xe5\x95\x8a", U"\u554a"},
    {"\x81\x40", "\xe4\xb8\x82", U"\u4e02"},
    {"\xa1\xa1", "\xe3\x80\x80", U"\u3000"},
    {"A\xd6\xd0\xce\xc4z", "A\xe4\xb8\xad\xe6\x96\x87z", U"A\u4e2d\u6587z"},
    {"\xa1\xa4", "\xc2\xb7", U"\u00b7"},  // middle dot: two-byte UTF-8
    {"\xa8\xa6", "\xc3\xa9", U"\u00e9"},
    {"\xa6\xa1", "\xce\x91", U"\u0391"},  // Greek capital alpha
    {std::string("a\0b", 3), std::string("a\0b", 3),
     std::u32string(U"a\0b", 3)},
};

TEST(CkxstrEncoding, ConvertsBetweenAllThreeEncodings) {
  for (const Sample& s : kSamples) {
    const std::string wide = Wide(s.wide);
    struct Step {
      bool (ckxstr::*op)();
      const std::string* from;
      const std::string* to;
    } steps[] = {
        {&ckxstr::mbcsToUnicode, &s.gbk, &wide},
        {&ckxstr::mbcsToUtf8, &s.gbk, &s.utf8},
        {&ckxstr::unicodeToMbcs, &wide, &s.gbk},
        {&ckxstr::unicodeToUtf8, &wide, &s.utf8},
        {&ckxstr::utf8ToMbcs, &s.utf8, &s.gbk},
        {&ckxstr::utf8ToUnicode, &s.utf8, &wide},
    };
    for (const Step& step : steps) {
      ckxstr str = Make(*step.from, ckxstr::kMbcs);
      EXPECT_TRUE((str.*step.op)()) << testing::PrintToString(s.utf8);
      EXPECT_EQ(Bytes(str), *step.to) << testing::PrintToString(s.utf8);
      EXPECT_EQ(str.tag(), ckxstr::kBytes);
    }
  }
}

TEST(CkxstrEncoding, RejectedInputLeavesContentUnchanged) {
  struct Row {
    bool (ckxstr::*op)();
    std::string in;
    const char* why;
  } rows[] = {
      {&ckxstr::mbcsToUtf8, "a\xb0", "lead byte at the end"},
      {&ckxstr::mbcsToUtf8, "\x80\x41", "0x80 has no page"},
      {&ckxstr::mbcsToUnicode, "\xff\x41", "0xFF has no page"},
      {&ckxstr::mbcsToUnicode, std::string("\xb0\x00", 2), "zero trail byte"},
      {&ckxstr::mbcsToUtf8, "\x81\x20", "unmapped pair"},
      {&ckxstr::utf8ToUnicode, "\xe5\x95", "three-byte form cut short"},
      {&ckxstr::utf8ToMbcs, "ab\xc3", "two-byte form cut short"},
      {&ckxstr::utf8ToUnicode, "\x95\x8a", "stray continuation bytes"},
      {&ckxstr::utf8ToUnicode, "\xe5\x41\x8a", "bad continuation byte"},
      {&ckxstr::utf8ToUnicode, "\xc0\x80", "overlong two-byte form"},
      {&ckxstr::utf8ToUnicode, "\xf4\x90\x80\x80", "above U+10FFFF"},
      {&ckxstr::utf8ToUnicode, "\xf8\x88\x80\x80\x80", "five-byte form"},
      {&ckxstr::utf8ToMbcs, "\xf0\x9f\x98\x80", "no GBK form (U+1F600)"},
      {&ckxstr::utf8ToMbcs, "\xc4\x80", "no GBK form (U+0100)"},
      {&ckxstr::utf8ToMbcs, "\xc2\x80", "no GBK form (U+0080)"},
      {&ckxstr::unicodeToUtf8, "\x41\x00\x00"s, "not a whole code unit"},
      {&ckxstr::unicodeToUtf8, Wide(U"a") + "\x00\x00\x11\x00"s,
       "above U+10FFFF"},
      {&ckxstr::unicodeToMbcs, Wide(U"\U0001F600"), "no GBK form"},
      {&ckxstr::unicodeToMbcs, Wide(U"\U00014E02"), "beyond 16 bits"},
  };
  for (const Row& r : rows) {
    ckxstr s = Make(r.in, ckxstr::kUtf8);
    EXPECT_FALSE((s.*r.op)()) << r.why;
    EXPECT_EQ(Bytes(s), r.in) << r.why;
    EXPECT_EQ(s.tag(), ckxstr::kUtf8) << r.why;
  }
}

TEST(CkxstrEncoding, FourByteUtf8AndOldThreeByteForms) {
  ckxstr s = Make(Wide(U"x\U0001F600"));
  ASSERT_TRUE(s.unicodeToUtf8());
  EXPECT_EQ(Bytes(s), "x\xf0\x9f\x98\x80");
  ASSERT_TRUE(s.utf8ToUnicode());
  EXPECT_EQ(Bytes(s), Wide(U"x\U0001F600"));
  // Text written with three bytes for every non-ASCII character still reads.
  ckxstr old = Make("\xe0\x82\xb7");
  ASSERT_TRUE(old.utf8ToUnicode());
  EXPECT_EQ(Bytes(old), Wide(U"\u00b7"));
}

TEST(CkxstrEncoding, ToLocalFollowsTheTag) {
  ckxstr s = Make("\xb0\xa1", ckxstr::kMbcs);
  ASSERT_TRUE(s.toUtf8());
  EXPECT_EQ(s.tag(), ckxstr::kUtf8);
  EXPECT_EQ(Bytes(s), "\xe5\x95\x8a");
  ASSERT_TRUE(s.toUtf8());  // already UTF-8
  EXPECT_EQ(Bytes(s), "\xe5\x95\x8a");
  ASSERT_TRUE(s.toUnicode());
  EXPECT_EQ(s.tag(), ckxstr::kUnicode);
  EXPECT_EQ(Bytes(s), Wide(U"\u554a"));
  ASSERT_TRUE(s.toMbcs());
  EXPECT_EQ(s.tag(), ckxstr::kMbcs);
  EXPECT_EQ(Bytes(s), "\xb0\xa1");
  ASSERT_TRUE(s.toLocal(ckxstr::kUnicode));
  EXPECT_EQ(s.tag(), ckxstr::kUnicode);
  ASSERT_TRUE(s.toLocal(ckxstr::kUtf8));
  EXPECT_EQ(Bytes(s), "\xe5\x95\x8a");
  ASSERT_TRUE(s.toLocal(ckxstr::kMbcs));
  EXPECT_EQ(Bytes(s), "\xb0\xa1");
  EXPECT_FALSE(s.toLocal(ckxstr::kBytes));
  EXPECT_FALSE(s.toLocal(ckxstr::kUnicodeBE));
  EXPECT_FALSE(s.toLocal(7));

  for (int tag : {ckxstr::kBytes, ckxstr::kUnicodeBE}) {
    ckxstr t = Make("abc", tag);
    EXPECT_FALSE(t.toMbcs());
    EXPECT_FALSE(t.toUtf8());
    EXPECT_FALSE(t.toUnicode());
    EXPECT_EQ(t.tag(), tag);
  }
  ckxstr bad = Make("\xe5\x95", ckxstr::kUtf8);
  EXPECT_FALSE(bad.toMbcs());
  EXPECT_EQ(bad.tag(), ckxstr::kUtf8);  // tag kept with the content
}

}  // namespace
