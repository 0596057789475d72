// The server proxy identity from main.ini, each configuration in a process of
// its own (eight threads making the first call at once) against a private
// copy of the libraries; the web cookie slot.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SealServices.h"
#include "library_copy.h"

namespace {

TEST(WebCookie, HoldsTheLastPointerGiven) {
  const char first[] = "session=1", second[] = "session=2";
  SEBF_SetWebcookie(first);
  SEBF_SetWebcookie(second);
  EXPECT_EQ(gNetcookie, second);
  SEBF_SetWebcookie(nullptr);
}

TEST(ProxyId, ByConfiguration) {
  const fx::LibraryCopy copy("proxy");
  const std::string log = copy.Dir() + "probe.log";
  struct Row {
    const char* ini;   // null: no main.ini
    const char* next;  // main.ini before a second call, if any
    std::string out;
    const char* line;
  } rows[] = {
      {nullptr, nullptr, "first=\nagree\n", "-->KXReadFile path is "},
      // Kept once found, whatever the file says later.
      {"[Default]\nproxyName=proxy-01\n", "[Default]\nproxyName=other\n",
       "first=proxy-01\nagree\nagain=proxy-01\n",
       "-->get dll name is proxy-01"},
      // GBK B0A1 B0A2 in UTF-8.
      {"[Default]\r\nproxyName=\xB0\xA1\xB0\xA2\r\n", nullptr,
       "first=\xE5\x95\x8A\xE9\x98\xBF\nagree\n", nullptr},
      // Looked for again until there is one.
      {"[Default]\nproxyName=\n", "[Default]\nproxyName=later\n",
       "first=\nagree\nagain=later\n", nullptr},
      {"[Other]\nproxyName=p\n", nullptr, "first=\nagree\n", nullptr},
      {"[Default]\nproxyName=ab\x81\n", nullptr, "first=\nagree\n",
       "GET_ESEAL_SERVER_PROXY_ID-->5050 -- proxyName is not GBK text"},
  };
  for (const Row& row : rows) {
    copy.SetIni(row.ini);
    std::remove(log.c_str());
    std::vector<std::string> args = {log, "proxy", "8"};
    if (row.next != nullptr) args.push_back(row.next);
    EXPECT_EQ(copy.Run(KX_CACHE_PROBE, args),
              "dll=" + copy.Dir() + "\n" + row.out)
        << (row.ini ? row.ini : "no main.ini");
    std::ifstream in(log, std::ios::binary);
    const std::string written(std::istreambuf_iterator<char>(in), {});
    if (row.line != nullptr) {
      EXPECT_NE(written.find(row.line), std::string::npos) << written;
    }
  }
}

}  // namespace
