// INI lookup and in-place edits.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "KXIni.h"

namespace {

ckxstr Text(const std::string& s) {
  ckxstr out;
  out.assign(s.data(), static_cast<uint32_t>(s.size()));
  return out;
}
std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

TEST(IniRead, LookupRules) {
  struct Row {
    const char* ini;
    const char* section;
    const char* key;
    const char* want;  // "DEF": the default came back
  };
  const Row rows[] = {
      {"[a]\nk = v \n", "a", "k", "v "},  // trailing blank kept
      {"[a]\nk = v \n", "a", "K", "DEF"},
      {"[a]\nk\t=\t v=w ; x \"q\"", "a", "k", "v=w ; x \"q\""},
      {"[a]\nk=", "a", "k", ""},  // present but empty
      {"[a]\nnoequals\nk=v\n", "a", "k", "DEF"},
      {"[a]\n   \nk=v\n", "a", "k", "DEF"},  // a blank-only line stops too
      {"[a]\n;k=x\nk=v\n", "a", "k", "v"},
      {"[a]\n#k=x\nk=v\n", "a", "k", "v"},
      {"[a]\n #k=x\nk=v\n", "a", " #k", "x"},  // indented: not a comment
      {"[a]\n  k=x\nk=v\n", "a", "k", "v"},    // leading blanks are key
      {"[a]\r\n\r\n\nk=v\r\n", "a", "k", "v"},
      {"[a]\rk=v\r[b]\rk=w", "b", "k", "w"},
      {"[ main ]\nk=v", " main ", "k", "v"},
      {"[ main ]\nk=v", "main", "k", "DEF"},
      {"[A]\nk=v", "a", "k", "DEF"},
      {"[ab]\nk=v", "a", "k", "DEF"},
      {"[a] comment ]\nk=v", "a", "k", "v"},
      {" [a]\nk=v", "a", "k", "DEF"},
      {"[a\nk=v", "a", "k", "DEF"},
      {"[x\n[a]\nk=v", "a", "k", "v"},
      {"k=top\n[a]\nk=v", "a", "k", "v"},
      {"[a]\nk=1\n[b]\nk=2\n", "a", "k", "1"},
      {"[a]\n[b]\nk=2\n", "a", "k", "DEF"},
      {"[a]\nx=1\n[a]\nk=2\n", "a", "k", "DEF"},  // first section only
      {"[a]\nk=1\nk=2\n", "a", "k", "1"},
      {"[a]\nk=v", nullptr, "k", "DEF"},
      {"[a]\nk=v", "a", nullptr, "DEF"},
      {"", "a", "k", "DEF"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.want, Str(KXIniReadStr(Text(r.ini), r.section, r.key, "DEF")))
        << r.ini;
  }
  EXPECT_EQ("", Str(KXIniReadStr(Text("[a]"), "a", "k", nullptr)));
}

TEST(IniRead, TypedValues) {
  const ckxstr ini = Text(
      "[n]\ni=42\nneg=-7x\nhex=0x10\nbig=99999999999\nl=9000000000\n"
      "d=2.5e3\nempty=\n"
      "[b]\nt1=true\nt2=TRUE\nt3=7\nf1=FALSE\nf2=yes\nf3=0\nempty=\n");
  EXPECT_EQ(42, KXIniReadInt(ini, "n", "i", 1));
  EXPECT_EQ(-7, KXIniReadInt(ini, "n", "neg", 1));
  EXPECT_EQ(0, KXIniReadInt(ini, "n", "hex", 1));  // decimal only
  EXPECT_EQ(INT_MAX, KXIniReadInt(ini, "n", "big", 1));
  EXPECT_EQ(5, KXIniReadInt(ini, "n", "empty", 5));
  EXPECT_EQ(5, KXIniReadInt(ini, "n", "absent", 5));
  EXPECT_EQ(9000000000LL, KXIniReadLong(ini, "n", "l", 1));
  EXPECT_EQ(-3LL, KXIniReadLong(ini, "n", "empty", -3));
  EXPECT_DOUBLE_EQ(2500.0, KXIniReadDouble(ini, "n", "d", 1.0));
  EXPECT_DOUBLE_EQ(0.5, KXIniReadDouble(ini, "n", "empty", 0.5));
  for (const char* key : {"t1", "t2", "t3"})
    EXPECT_TRUE(KXIniReadBool(ini, "b", key, false)) << key;
  for (const char* key : {"f1", "f2", "f3"})
    EXPECT_FALSE(KXIniReadBool(ini, "b", key, true)) << key;
  for (bool def : {false, true}) {
    EXPECT_EQ(def, KXIniReadBool(ini, "b", "empty", def));
    EXPECT_EQ(def, KXIniReadBool(ini, "b", "absent", def));
  }
}

TEST(IniWrite, EditsInPlace) {
  struct Row {
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    bool changed;
    const char* after;
  };
  const Row rows[] = {
      {"[a]\nk=v\n\n[b]\nx=y\n", "a", "n", "1", true,
       "[a]\nk=v\nn=1\n\n[b]\nx=y\n"},
      {"", "c", "k", "v", true, "\n[c]\nk=v\n"},
      {"[a]\nk=v\n", "c", "k", "v", true, "[a]\nk=v\n\n[c]\nk=v\n"},
      {"[a]\nk = old \n[b]", "a", "k", "new", true, "[a]\nk = new\n[b]"},
      {"[a]\nk=old", "a", "k", "", true, "[a]\nk="},
      {"[a]\r\nk=v\r\n\r\n[b]\r\n", "a", "n", "1", true,
       "[a]\r\nk=v\nn=1\r\n\r\n[b]\r\n"},
      {"[a]", "a", "k", "v", true, "[a]\nk=v"},
      {"[a]\n\n\n", "a", "k", nullptr, true, "[a]\nk=\n\n\n"},
      {"[a]\n;c\n\n[b]\n", "a", "k", "v", true, "[a]\n;c\nk=v\n\n[b]\n"},
      {"[a]\nk=1\n[b]\nk=2\n", "b", "k", "3", true, "[a]\nk=1\n[b]\nk=3\n"},
      // The key goes before a line that would hide it from readers.
      {"[a]\nx=1\nnoeq\ny=2\n", "a", "k", "v", true,
       "[a]\nx=1\nk=v\nnoeq\ny=2\n"},
      {"[a]\nk=v\n", "a", nullptr, "v", false, "[a]\nk=v\n"},
      {"[a]\nk=v\n", "c", nullptr, "v", false, "[a]\nk=v\n"},
      {"[a]\nk=v\n", nullptr, "k", "v", false, "[a]\nk=v\n"},
  };
  for (const Row& r : rows) {
    ckxstr ini = Text(r.before);
    EXPECT_EQ(r.changed, KXIniWriteStr(ini, r.section, r.key, r.value))
        << r.before;
    EXPECT_EQ(r.after, Str(ini)) << r.before;
    if (r.changed) {
      EXPECT_EQ(r.value ? r.value : "",
                Str(KXIniReadStr(ini, r.section, r.key, "DEF")))
          << r.before;
    }
  }
}

TEST(IniWrite, TypedValues) {
  ckxstr ini;
  EXPECT_TRUE(KXIniWriteInt(ini, "s", "i", -5));
  EXPECT_TRUE(KXIniWriteLong(ini, "s", "l", 9000000000LL));
  EXPECT_TRUE(KXIniWriteDouble(ini, "s", "d", 2.5));
  EXPECT_TRUE(KXIniWriteDouble(ini, "s", "e", 1e20));
  EXPECT_TRUE(KXIniWriteBool(ini, "s", "t", true));
  EXPECT_TRUE(KXIniWriteBool(ini, "s", "f", false));
  EXPECT_EQ("\n[s]\ni=-5\nl=9000000000\nd=2.5\ne=1e+20\nt=TRUE\nf=FALSE\n",
            Str(ini));
}

TEST(IniErase, KeysAndSections) {
  struct Row {
    const char* before;
    const char* section;
    const char* key;  // null: erase the section
    bool changed;
    const char* after;
  };
  const Row rows[] = {
      {"[a]\nk=v\r\n\nx=1\n", "a", "k", true, "[a]\nx=1\n"},
      {"[a]\nk=v\n[b]\nk=w", "b", "k", true, "[a]\nk=v\n[b]\n"},
      {"[a]\nk=v\n", "a", "x", false, "[a]\nk=v\n"},
      {"[a]\nk=v\n", "b", "k", false, "[a]\nk=v\n"},
      {"x=0\n[a]\nk=v\n\n[b]\ny=1\n", "a", nullptr, true, "x=0\n[b]\ny=1\n"},
      {"[a]\nk=v\n\n[b]\ny=1\n", "b", nullptr, true, "[a]\nk=v\n\n"},
      {"[a]\n#[b]\n [c]\n[d]", "a", nullptr, true, "[d]"},
      {"[a]\nk=v\n", "c", nullptr, false, "[a]\nk=v\n"},
      {"[a]\nk=v\n", nullptr, nullptr, false, "[a]\nk=v\n"},
  };
  for (const Row& r : rows) {
    ckxstr ini = Text(r.before);
    const bool changed = r.key == nullptr
                             ? KXIniEraseSection(ini, r.section)
                             : KXIniEraseKey(ini, r.section, r.key);
    EXPECT_EQ(r.changed, changed) << r.before;
    EXPECT_EQ(r.after, Str(ini)) << r.before;
  }
}

}  // namespace
