// Buffer wrappers, the formatter, whole-file reading and writing with their
// result codes and log lines, and the GBK tables checked against the C
// library's iconv.
#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "KXError.h"
#include "KXLog.h"
#include "KXString.h"
#include "test_process.h"

using namespace std::string_literals;

namespace {

std::string Bytes(const ckxstr& s) {
  return std::string(s.c_str(), s.length());
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "kxstring_" + std::to_string(getpid()) + "_" +
         name;
}

// ---------------------------------------------------------------------------
// Buffer wrappers

TEST(KXStringWrappers, ResultsAndLastError) {
  using Fn = ckxstr (*)(const char*, int);
  struct Row {
    const char* name;
    Fn fn;
    std::string in;
    int len;  // -1: up to the terminator
    bool ok;
    std::string out;
  } rows[] = {
      {"StrToHex", KXStrToHex, "0AFF", -1, true, "\x0a\xff"},
      {"StrToHex", KXStrToHex, "0A F", -1, false, ""},
      {"StrToHex", KXStrToHex, "0AFF", 3, false, ""},  // length respected
      {"Base64Decode", KXBase64Decode, "YWJj", -1, true, "abc"},
      {"Base64Decode", KXBase64Decode, "YW*j", -1, false, ""},
      {"Base64Decode", KXBase64Decode, "YWJjYWJj", 4, true, "abc"},
      {"MbcsToUtf8", KXMbcsToUtf8, "\xb0\xa1", -1, true, "\xe5\x95\x8a"},
      {"MbcsToUtf8", KXMbcsToUtf8, "\xb0\xa1", 1, false, ""},
      {"Utf8ToMbcs", KXUtf8ToMbcs, "\xe5\x95\x8a", -1, true, "\xb0\xa1"},
      {"Utf8ToMbcs", KXUtf8ToMbcs, "\xe5\x95\x8a", 2, false, ""},
      {"MbcsToUnicode", KXMbcsToUnicode, "A\xb0\xa1", -1, true,
       "A\0\0\0\x4a\x55\0\0"s},
      {"Utf8ToUnicode", KXUtf8ToUnicode, "\xe5\x95\x8a", -1, true,
       "\x4a\x55\0\0"s},
      {"StrToLower", KXStrToLower, "AbC", -1, true, "abc"},
      {"StrToUpper", KXStrToUpper, "AbC", -1, true, "ABC"},
      {"StrToReverse", KXStrToReverse, "abc", 3, true, "cba"},
      {"StrToReverse", KXStrToReverse, "abc", 2, true, "ba"},
      {"StrToTrim", KXStrToTrim, "  ", -1, true, ""},
      {"StrToTrim", KXStrToTrim, " x ", -1, true, "x"},
      {"StrToTrim", KXStrToTrim, "", -1, true, ""},
  };
  for (const Row& r : rows) {
    KXSetLastError(0);
    ckxstr got = r.fn(r.in.c_str(), r.len);
    EXPECT_EQ(Bytes(got), r.out) << r.name << " " << r.in;
    EXPECT_EQ(KXGetLastError(), r.ok ? 0 : 5002) << r.name << " " << r.in;
  }
  KXSetLastError(0);
  EXPECT_EQ(KXStrToTrim(nullptr, 3).length(), 0u);
  EXPECT_EQ(KXGetLastError(), 5002);
}

TEST(KXStringWrappers, HexBase64AndWideInputs) {
  EXPECT_EQ(Bytes(KXHexToStr("\x0a\xff", 2)), "0aff");
  EXPECT_EQ(Bytes(KXHexToStr("\x00\x01"s.data(), 2)), "0001");
  EXPECT_EQ(Bytes(KXHexToStr(nullptr, 0)), "");

  EXPECT_EQ(Bytes(KXBase64Encode("abc", -1, nullptr)), "YWJj");
  EXPECT_EQ(Bytes(KXBase64Encode("ab\0c", 4, nullptr)), "YWIAYw==");
  std::string bytes48(48, '\x5a');
  ckxstr lines = KXBase64Encode(bytes48.data(), 48, "\n");
  EXPECT_EQ(lines.length(), 65u);
  EXPECT_EQ(lines.c_str()[64], '\n');
  EXPECT_EQ(Bytes(KXBase64Decode(lines.c_str(), -1)), bytes48);

  KXSetLastError(0);
  const wchar_t wide[] = L"A\u554a\u4e2d";
  EXPECT_EQ(Bytes(KXUnicodeToUtf8(wide, -1)), "A\xe5\x95\x8a\xe4\xb8\xad");
  EXPECT_EQ(Bytes(KXUnicodeToMbcs(wide, -1)), "A\xb0\xa1\xd6\xd0");
  EXPECT_EQ(Bytes(KXUnicodeToMbcs(wide, 2)), "A\xb0\xa1");  // characters
  EXPECT_EQ(KXGetLastError(), 0);
  const wchar_t emoji[] = L"\U0001F600";
  EXPECT_EQ(KXUnicodeToMbcs(emoji, -1).length(), 0u);
  EXPECT_EQ(KXGetLastError(), 5002);
}

TEST(KXStringWrappers, ResultsOwnTheirBytes) {
  // Also when the operation leaves the input as it was: the result must not
  // point into the caller's buffer.
  char buffer[] = "abc";
  ckxstr trimmed = KXStrToTrim(buffer, -1);
  ckxstr lowered = KXStrToLower(buffer, -1);
  ckxstr decoded = KXBase64Decode(buffer, 3);  // too short: empty
  memset(buffer, 'x', 3);
  EXPECT_EQ(Bytes(trimmed), "abc");
  EXPECT_EQ(Bytes(lowered), "abc");
  EXPECT_EQ(decoded.length(), 0u);
  ckxstr copy(trimmed);  // a copy of an owned result is independent
  EXPECT_NE(copy.c_str(), trimmed.c_str());
}

TEST(KXStringWrappers, TagsOfResults) {
  EXPECT_EQ(KXStrToLower("A", -1).tag(), ckxstr::kUtf8);
  EXPECT_EQ(KXBase64Encode("A", -1, nullptr).tag(), ckxstr::kUtf8);
  EXPECT_EQ(KXMbcsToUtf8("A", -1).tag(), ckxstr::kBytes);
  EXPECT_EQ(KXStrFormat("%d", 1).tag(), ckxstr::kUtf8);
}

TEST(KXStringFormat, BoundedBuffer) {
  EXPECT_EQ(Bytes(KXStrFormat("%s=%d", "n", 5)), "n=5");
  std::string big(10000, 'y');
  ckxstr cut = KXStrFormat("%s", big.c_str());
  EXPECT_EQ(cut.length(), 8191u);
  EXPECT_EQ(Bytes(cut), big.substr(0, 8191));
  EXPECT_EQ(KXStrFormat(nullptr).length(), 0u);
}

// ---------------------------------------------------------------------------
// Files

class KXFileTest : public testing::Test {
 protected:
  void SetUp() override {
    fx::TestLog::Watch(2);
    KXSetLastError(0);
  }
  std::string Log() const { return fx::TestLog::Since(); }
};

TEST_F(KXFileTest, WriteThenReadBack) {
  const std::string path = TempPath("data.bin");
  unlink(path.c_str());
  EXPECT_EQ(KXWriteFile(path.c_str(), "abc", -1, true), 0);
  EXPECT_EQ(KXWriteFile(path.c_str(), "abc", -1, true), 0);
  EXPECT_EQ(Bytes(KXReadFile(path.c_str())), "abcabc");
  std::string binary = "\x00\xff\x00zero"s;
  EXPECT_EQ(KXWriteFile(path.c_str(), binary.data(),
                        static_cast<int>(binary.size()), false),
            0);
  EXPECT_EQ(Bytes(KXReadFile(path.c_str())), binary);
  EXPECT_EQ(KXWriteFile(path.c_str(), "", 0, false), 0);
  ckxstr empty = KXReadFile(path.c_str());
  EXPECT_EQ(empty.length(), 0u);
  EXPECT_EQ(KXGetLastError(), 0);
  unlink(path.c_str());
}

TEST_F(KXFileTest, ReadFailures) {
  const std::string missing = TempPath("missing.bin");
  unlink(missing.c_str());
  const std::string huge = TempPath("huge.bin");
  {
    FILE* f = fopen(huge.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(ckxstr::kMaxLength) + 1),
              0);
    fclose(f);
  }
  const std::string dir = testing::TempDir();
  struct Row {
    std::string path;
    int code;
    std::string logged;
  } rows[] = {
      {missing, 5005, "KXReadFile "},
      {huge, 5051, "KXReadFile "},
      {dir, 5007, "KXReadFile "},
  };
  rows[0].logged += "%] open the file \"" + missing + "\" error";
  rows[1].logged += "%] file \"" + huge + "\" length 1073741825 to large";
  rows[2].logged += "%] file \"" + dir + "\" read length ";
  for (const Row& r : rows) {
    KXSetLastError(0);
    EXPECT_EQ(KXReadFile(r.path.c_str()).length(), 0u) << r.path;
    EXPECT_EQ(KXGetLastError(), r.code) << r.path;
    // "KXReadFile <line>] message": compare around the source line number.
    std::string log = Log();
    size_t split = r.logged.find('%');
    std::string head = r.logged.substr(0, split);
    std::string tail = r.logged.substr(split + 1);
    size_t at = log.find(tail);
    ASSERT_NE(at, std::string::npos) << log;
    size_t lineStart = log.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    EXPECT_EQ(log.compare(lineStart, 6, "[ERROR"), 0) << log;
    EXPECT_NE(log.substr(lineStart, at - lineStart).find(" " + head),
              std::string::npos)
        << log;
  }
  unlink(huge.c_str());

  // A null path gives an empty result and records nothing.
  std::string before = Log();
  KXSetLastError(0);
  EXPECT_EQ(KXReadFile(nullptr).length(), 0u);
  EXPECT_EQ(KXGetLastError(), 0);
  EXPECT_EQ(Log(), before);
}

TEST_F(KXFileTest, WriteFailures) {
  struct Row {
    const char* path;
    const char* data;
    int len;
    int code;
    int lastError;
    const char* logged;  // null: no line
  } rows[] = {
      {nullptr, "x", 1, 5002, 0, nullptr},
      {"/tmp/x", nullptr, 1, 5002, 0, nullptr},
      {"/tmp/never-written", "x", 1073741825, 5051, 5051, "KXWriteFile "},
      {"/nonexistent-dir/f", "x", 1, 5005, 5005, "KXWriteFile "},
      {"/dev/full", "abc", 3, 5006, 5006, "KXWriteFile "},
  };
  const char* messages[] = {nullptr, nullptr,
                            "] write file length 1073741825 to large",
                            "] open the file \"/nonexistent-dir/f\" error",
                            "] file \"/dev/full\" write length 3 error"};
  for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
    const Row& r = rows[i];
    std::string before = Log();
    KXSetLastError(0);
    EXPECT_EQ(KXWriteFile(r.path, r.data, r.len, false), r.code) << i;
    EXPECT_EQ(KXGetLastError(), r.lastError) << i;
    std::string added = Log().substr(before.size());
    if (r.logged == nullptr) {
      EXPECT_EQ(added, "") << i;
    } else {
      EXPECT_EQ(added.compare(0, 6, "[ERROR"), 0) << added;
      EXPECT_NE(added.find(std::string(" ") + r.logged), std::string::npos)
          << added;
      EXPECT_NE(added.find(std::string(messages[i]) + "\n"), std::string::npos)
          << added;
    }
  }
  EXPECT_NE(access("/tmp/never-written", F_OK), 0);
}

// ---------------------------------------------------------------------------
// GBK tables

TEST(GbkTables, ExampleRowsAndLookupRules) {
  struct Row {
    unsigned char in[2];
    unsigned int code;
    int used;
  } rows[] = {
      {{0x81, 0x40}, 0x4E02, 2}, {{0xB0, 0xA1}, 0x554A, 2},
      {{0xA1, 0xA1}, 0x3000, 2}, {{0xA1, 0xA4}, 0x00B7, 2},
      {{0x80, 0x41}, 0x80, 1},   {{0x41, 0xB0}, 0x41, 1},
      {{0xB0, 0x00}, 0xB0, 1},   {{0xFF, 0xA1}, 0xFF, 1},
      {{0x81, 0x20}, 0, 2},  // page present, pair unmapped: entry 0
  };
  for (const Row& r : rows) {
    unsigned int cp = 0xDEADBEEF;
    EXPECT_EQ(char2uni(r.in, &cp), r.used);
    EXPECT_EQ(cp, r.code);
  }
  struct Back {
    unsigned int code;
    int n;
    unsigned char out[2];
  } backs[] = {
      {0x4E02, 2, {0x81, 0x40}}, {0x554A, 2, {0xB0, 0xA1}},
      {0x3000, 2, {0xA1, 0xA1}}, {0x41, 1, {0x41, 0}},
      {0x7F, 1, {0x7F, 0}},      {0x00B7, 2, {0xA1, 0xA4}},
      {0x00E9, 2, {0xA8, 0xA6}}, {0, 0, {0, 0}},
      {0x80, 0, {0, 0}},         {0xFF, 0, {0, 0}},
      {0x0100, 0, {0, 0}},       {0x20AC, 0, {0, 0}},
      {0x14E02, 0, {0, 0}},      {0x1F600, 0, {0, 0}},
  };
  for (const Back& b : backs) {
    unsigned char out[2] = {0xEE, 0xEE};
    EXPECT_EQ(uni2char(b.code, out), b.n) << std::hex << b.code;
    for (int i = 0; i < b.n; ++i)
      EXPECT_EQ(out[i], b.out[i]) << std::hex << b.code;
  }
}

// The C library's converter, one character at a time.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  bool Convert(const std::string& in, std::string* out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char buffer[16];
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) ||
        srcLeft != 0)
      return false;
    out->assign(buffer, sizeof buffer - dstLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

TEST(GbkTables, MatchTheCLibraryCodePage936) {
  Iconv toUnicode("UTF-32LE", "CP936");
  Iconv toGbk("CP936", "UTF-32LE");
  ASSERT_TRUE(toUnicode.ok() && toGbk.ok()) << "iconv lacks CP936";

  // Byte -> code point: every pair after every lead byte.
  std::set<int> leadPages;
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int trail = 1; trail <= 0xFF; ++trail) {
      unsigned char in[2] = {static_cast<unsigned char>(lead),
                             static_cast<unsigned char>(trail)};
      unsigned int ours = 0;
      int used = char2uni(in, &ours);
      std::string out;
      bool mapped = toUnicode.Convert(
                        std::string(reinterpret_cast<char*>(in), 2), &out) &&
                    out.size() == 4;
      unsigned int theirs = 0;
      if (mapped) memcpy(&theirs, out.data(), 4);
      if (used == 2) leadPages.insert(lead);
      if (mapped) {
        ASSERT_EQ(used, 2) << std::hex << lead << " " << trail;
        ASSERT_EQ(ours, theirs) << std::hex << lead << " " << trail;
      } else if (used == 2) {
        ASSERT_EQ(ours, 0u) << std::hex << lead << " " << trail;
      }
    }
  }
  EXPECT_EQ(leadPages.size(), 126u);
  EXPECT_EQ(*leadPages.begin(), 0x81);
  EXPECT_EQ(*leadPages.rbegin(), 0xFE);

  // Code point -> bytes. The pages by bits 8..15: 101 from U+0100 upwards,
  // plus the Latin-1 code points with two-byte codes (page 0x00): 102.
  std::set<unsigned int> codePages;
  for (unsigned int cp = 1; cp <= 0xFFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    unsigned char ours[2] = {0, 0};
    int n = uni2char(cp, ours);
    std::string out;
    bool mapped =
        toGbk.Convert(std::string(reinterpret_cast<char*>(&cp), 4), &out);
    if (n == 2) codePages.insert(cp >> 8);
    if (cp < 0x80) {
      ASSERT_EQ(n, 1);
      ASSERT_EQ(ours[0], cp);
    } else if (mapped && out.size() == 2) {
      ASSERT_EQ(n, 2) << std::hex << cp;
      ASSERT_EQ(std::string(reinterpret_cast<char*>(ours), 2), out)
          << std::hex << cp;
    } else {
      // Only single-byte extension of the code page: 0x80 for the euro sign,
      // which is no GBK two-byte code.
      if (mapped) {
        EXPECT_EQ(cp, 0x20ACu);
      }
      ASSERT_EQ(n, 0) << std::hex << cp;
    }
  }
  EXPECT_EQ(codePages.size(), 102u);
  EXPECT_EQ(codePages.count(0), 1u);
}

TEST(GbkTables, ConversionsAgreeWithIconvOnRandomText) {
  Iconv toUtf8("UTF-8", "CP936");
  ASSERT_TRUE(toUtf8.ok());
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::string gbk;
    while (gbk.size() < 40) {
      unsigned char lead = static_cast<unsigned char>(rng() % 0x7F + 0x81);
      unsigned char trail = static_cast<unsigned char>(rng() % 0xBF + 0x40);
      if (rng() % 4 == 0) {
        gbk += static_cast<char>(rng() % 0x7F + 1);
        continue;
      }
      unsigned char pair[2] = {lead, trail};
      unsigned int cp;
      if (char2uni(pair, &cp) == 2 && cp != 0)
        gbk.append(reinterpret_cast<char*>(pair), 2);
    }
    std::string expected;
    ckxstr utf8 = KXMbcsToUtf8(gbk.data(), static_cast<int>(gbk.size()));
    // Whole-string oracle conversion.
    iconv_t cd = iconv_open("UTF-8", "CP936");
    std::string buffer(gbk.size() * 3, '\0');
    char* src = gbk.data();
    size_t srcLeft = gbk.size();
    char* dst = buffer.data();
    size_t dstLeft = buffer.size();
    ASSERT_NE(iconv(cd, &src, &srcLeft, &dst, &dstLeft),
              static_cast<size_t>(-1));
    iconv_close(cd);
    expected.assign(buffer.data(), buffer.size() - dstLeft);
    ASSERT_EQ(Bytes(utf8), expected);
    ASSERT_EQ(
        Bytes(KXUtf8ToMbcs(utf8.c_str(), static_cast<int>(utf8.length()))),
        gbk);
  }
}

}  // namespace
