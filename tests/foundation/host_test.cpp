// Host utilities: the choice among interface addresses, KXGetLocalIp by
// configuration (each in a process of its own, eight threads making the
// first call at once, against a private copy of the libraries), and
// KXRandomStr.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "KXError.h"
#include "KXHost.h"
#include "foundation/local_address.h"
#include "library_copy.h"
#include "test_process.h"

namespace {

using kx::InterfaceAddress;

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

TEST(LocalAddress, Choice) {
  const InterfaceAddress lo{"lo", "127.0.0.1", true, true};
  const InterfaceAddress ens{"ens3", "10.0.0.5", true, false};
  const InterfaceAddress down{"enp1s0", "10.0.0.4", false, false};
  std::vector<InterfaceAddress> many(20, ens);
  many.push_back({"eth0", "10.0.2.2", true, false});
  const std::vector<std::pair<std::vector<InterfaceAddress>, std::string>>
      rows = {
          {{lo, ens, {"eth0", "192.168.1.1"}, {"eth1:0", "192.168.1.2"}},
           "192.168.1.2"},     // the last name holding "eth"
          {many, "10.0.2.2"},  // not only among the first sixteen
          {{lo, down, ens, {"wlan0", "10.0.0.6", true, false}}, "10.0.0.5"},
          {{lo, down}, ""},
      };
  for (const auto& [list, chosen] : rows)
    EXPECT_EQ(kx::ChooseLocalAddress(list), chosen) << chosen;
}

// What this machine's interfaces give, listed here rather than by the library.
std::string DetectedHere() {
  std::vector<InterfaceAddress> list;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) == 0) {
    for (ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr,
                text, sizeof text);
      list.push_back({i->ifa_name, text, (i->ifa_flags & IFF_UP) != 0,
                      (i->ifa_flags & IFF_LOOPBACK) != 0});
    }
    freeifaddrs(all);
  }
  const std::string chosen = kx::ChooseLocalAddress(list);
  return chosen.empty() ? "127.0.0.1" : chosen;
}

TEST(LocalIp, ByConfiguration) {
  const fx::LibraryCopy copy("localip");
  const std::string here = DetectedHere();
  const char* kOverride = "[Default]\nlocal_address=10.4.5.6\n";
  struct Row {
    const char* ini;   // null: no main.ini
    const char* next;  // main.ini before a second call, if any
    std::string ip;
  } rows[] = {
      {nullptr, kOverride, here},  // kept for the process
      {"[Default]\nlocal_address=\n", nullptr, here},
      {"[Other]\nlocal_address=10.1.2.3\n", nullptr, here},
      {"[Default]\nlocal_address=10.1.2.3\n", kOverride, "10.1.2.3"},
      {"[Default]\r\nlocal_address = 10.9.8.7\r\n", nullptr, "10.9.8.7"},
  };
  for (const Row& row : rows) {
    copy.SetIni(row.ini);
    std::vector<std::string> args = {copy.Dir() + "probe.log", "ip", "8"};
    if (row.next != nullptr) args.push_back(row.next);
    EXPECT_EQ(copy.Run(KX_CACHE_PROBE, args),
              "dll=" + copy.Dir() + "\nfirst=" + row.ip + "\nagree\n" +
                  (row.next ? "again=" + row.ip + "\n" : ""))
        << (row.ini ? row.ini : "no main.ini");
  }
}

TEST(RandomStr, LengthsAndAlphabet) {
  KXSetLastError(0);
  for (int n : {0, 1, 16, 1000}) {
    const std::string text = Str(KXRandomStr(n));
    EXPECT_EQ(text.size(), 2u * static_cast<size_t>(n));
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_NE(Str(KXRandomStr(16)), Str(KXRandomStr(16)));
  EXPECT_EQ(KXGetLastError(), 0);
}

// A generator that fails: the answer is nothing, not a string made from some
// other source such as the clock.
int FailingBytes(unsigned char*, int) { return 0; }
int FailingStatus() { return 0; }
const RAND_METHOD kFailingRand = {nullptr, FailingBytes, nullptr,
                                  nullptr, FailingBytes, FailingStatus};

TEST(RandomStr, Refusals) {
  const RAND_METHOD* saved = RAND_get_rand_method();
  const struct {
    int n;
    const RAND_METHOD* generator;
    int code;
    const char* line;
  } rows[] = {
      {-1, saved, KX_ERR_INVALID_INPUT, "length -1 invalid, 5002"},
      {536870913, saved, KX_ERR_SIZE_LIMIT, "length 536870913 to large, 5051"},
      {16, &kFailingRand, KX_ERR_OPENSSL, "length 16 RAND_bytes() error, 5069"},
  };
  for (const auto& row : rows) {
    fx::TestLog::Watch();
    KXSetLastError(0);
    RAND_set_rand_method(row.generator);
    const std::string text = Str(KXRandomStr(row.n));
    RAND_set_rand_method(saved);
    EXPECT_EQ(text, "");
    EXPECT_EQ(KXGetLastError(), row.code);
    EXPECT_TRUE(fx::TestLog::Has(row.line)) << fx::TestLog::Since();
  }
}

}  // namespace
