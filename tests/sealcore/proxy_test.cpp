// The server proxy identity from main.ini, each configuration in a process of
// its own against a private copy of the libraries, and the web cookie slot.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SealServices.h"
#include "library_copy.h"
#include "test_process.h"

namespace {

TEST(WebCookie, HoldsTheLastPointerGiven) {
  const char first[] = "session=1";
  const char second[] = "session=2";
  SEBF_SetWebcookie(first);
  SEBF_SetWebcookie(second);
  EXPECT_EQ(gNetcookie, second);
  SEBF_SetWebcookie(nullptr);
  EXPECT_EQ(gNetcookie, nullptr);
}

class ProxyId : public ::testing::Test {
 protected:
  ProxyId()
      : copy_(::testing::UnitTest::GetInstance()->current_test_info()->name()),
        log_(copy_.Dir() + "probe.log") {}

  // The probe's output; checks that it used the private copy.
  std::string Run(const std::vector<std::string>& args) {
    std::vector<std::string> all = {log_};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out = copy_.Run(KX_PROXY_PROBE, all);
    EXPECT_NE(out.find("dll=" + copy_.Dir() + "\n"), std::string::npos) << out;
    return out;
  }
  std::string Log() const {
    std::ifstream in(log_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fx::LibraryCopy copy_;
  std::string log_;
};

TEST_F(ProxyId, ByConfiguration) {
  struct Row {
    const char* what;
    const char* ini;  // null: no main.ini
    const char* id;   // hex of the UTF-8 answer
    const char* line;
  } rows[] = {
      {"no main.ini", nullptr, "", "-->KXReadFile path is "},
      {"ASCII", "[Default]\nproxyName=proxy-01\n", "70726f78792d3031",
       "-->get dll name is proxy-01"},
      // GBK B0 A1 B0 A2 (two CJK characters) in UTF-8.
      {"GBK", "[Default]\r\nproxyName=\xB0\xA1\xB0\xA2\r\n", "e5958ae998bf",
       "-->get dll name is \xE5\x95\x8A\xE9\x98\xBF"},
      {"empty value", "[Default]\nproxyName=\n", "", "-->get dll [Default]"},
      {"other section", "[Other]\nproxyName=p\n", "", nullptr},
      {"not GBK", "[Default]\nproxyName=ab\x81\n", "",
       "GET_ESEAL_SERVER_PROXY_ID-->5050 -- proxyName is not GBK text"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    copy_.RemoveIni();
    std::remove(log_.c_str());
    if (row.ini != nullptr) copy_.WriteIni(row.ini);
    EXPECT_NE(Run({}).find(std::string("\nid=") + row.id + "\n"),
              std::string::npos);
    if (row.line != nullptr) {
      EXPECT_NE(Log().find(row.line), std::string::npos) << Log();
    }
  }
}

TEST_F(ProxyId, KeptOnceFoundAndLookedForUntilThen) {
  copy_.WriteIni("[Default]\nproxyName=first\n");
  const std::string kept = Run({"rewrite", "[Default]\nproxyName=second\n"});
  EXPECT_NE(kept.find("id=6669727374\nagain=6669727374\nstable=1\n"),
            std::string::npos)
      << kept;
  copy_.RemoveIni();
  const std::string later = Run({"rewrite", "[Default]\nproxyName=second\n"});
  EXPECT_NE(later.find("id=\nagain=7365636f6e64\n"), std::string::npos)
      << later;
}

TEST_F(ProxyId, ConcurrentFirstCallsAgree) {
  copy_.WriteIni("[Default]\nproxyName=\xB0\xA1\n");
  const std::string out = Run({"threads", "8"});
  EXPECT_NE(out.find("id=e5958a\nagree\n"), std::string::npos) << out;
}

}  // namespace
