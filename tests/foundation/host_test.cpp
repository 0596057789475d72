// Host utilities: the choice among interface addresses, KXGetLocalIp with and
// without the local_address override (each configuration in a process of its
// own against a private copy of the libraries), and KXRandomStr.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "KXError.h"
#include "KXHost.h"
#include "foundation/local_address.h"
#include "library_copy.h"
#include "test_process.h"

namespace {

using kx::InterfaceAddress;

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

InterfaceAddress If(const char* name, const char* address, bool up = true,
                    bool loopback = false) {
  InterfaceAddress entry;
  entry.name = name;
  entry.address = address;
  entry.up = up;
  entry.loopback = loopback;
  return entry;
}

TEST(LocalAddress, Choice) {
  const InterfaceAddress lo = If("lo", "127.0.0.1", true, true);
  std::vector<InterfaceAddress> many;
  for (int i = 0; i < 20; ++i)
    many.push_back(If(("ens" + std::to_string(i)).c_str(), "10.0.1.1"));
  many.push_back(If("eth0", "10.0.2.2"));
  struct Row {
    const char* what;
    std::vector<InterfaceAddress> list;
    const char* chosen;
  } rows[] = {
      {"eth before an earlier ens",
       {lo, If("ens3", "10.0.0.5"), If("eth0", "192.168.1.2")},
       "192.168.1.2"},
      {"the last eth",
       {If("eth0", "192.168.1.1"), If("eth1", "192.168.1.2"),
        If("ens3", "10.0.0.5")},
       "192.168.1.2"},
      {"eth alias",
       {If("ens3", "10.0.0.5"), If("eth0:1", "172.16.0.9")},
       "172.16.0.9"},
      {"no eth: the first up non-loopback",
       {lo, If("ens3", "10.0.0.4", false), If("enp0s3", "10.0.0.5"),
        If("wlan0", "10.0.0.6")},
       "10.0.0.5"},
      {"eth after twenty others", many, "10.0.2.2"},
      {"loopback only", {lo}, ""},
      {"down only", {If("ens3", "10.0.0.4", false)}, ""},
      {"none", {}, ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(kx::ChooseLocalAddress(row.list), row.chosen) << row.what;
}

// What this machine's interfaces give, listed independently of the library.
std::string DetectedHere() {
  std::vector<InterfaceAddress> list;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) == 0) {
    for (ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr,
                text, sizeof text);
      list.push_back(If(i->ifa_name, text, (i->ifa_flags & IFF_UP) != 0,
                        (i->ifa_flags & IFF_LOOPBACK) != 0));
    }
    freeifaddrs(all);
  }
  const std::string chosen = kx::ChooseLocalAddress(list);
  return chosen.empty() ? "127.0.0.1" : chosen;
}

class LocalIp : public ::testing::Test {
 protected:
  LocalIp()
      : copy_(::testing::UnitTest::GetInstance()->current_test_info()->name()) {
  }

  // The probe's output; checks that it used the private copy.
  std::string Run(const std::vector<std::string>& args) {
    std::vector<std::string> all = {copy_.Dir() + "probe.log"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out = copy_.Run(KX_HOST_PROBE, all);
    EXPECT_NE(out.find("dll=" + copy_.Dir() + "\n"), std::string::npos) << out;
    return out;
  }

  fx::LibraryCopy copy_;
};

TEST_F(LocalIp, ByConfiguration) {
  const std::string detected = DetectedHere();
  struct Row {
    const char* ini;  // null: no main.ini
    std::string ip;
  } rows[] = {
      {nullptr, detected},
      {"[Default]\nlogLevel=1\n", detected},
      {"[Default]\nlocal_address=\n", detected},
      {"[Default]\nlocal_address=10.1.2.3\n", "10.1.2.3"},
      {"[Other]\nlocal_address=10.1.2.3\n", detected},
      {"[Default]\r\nlocal_address = 10.9.8.7\r\n", "10.9.8.7"},
  };
  for (const Row& row : rows) {
    copy_.RemoveIni();
    if (row.ini != nullptr) copy_.WriteIni(row.ini);
    EXPECT_NE(Run({}).find("\nip=" + row.ip + "\n"), std::string::npos)
        << (row.ini ? row.ini : "no main.ini");
  }
}

TEST_F(LocalIp, KeptForTheProcess) {
  const std::string detected = DetectedHere();
  std::string out = Run({"rewrite", "[Default]\nlocal_address=10.4.5.6\n"});
  EXPECT_NE(out.find("ip=" + detected + "\nagain=" + detected +
                     "\nhost=" + detected + "\n"),
            std::string::npos)
      << out;
  copy_.WriteIni("[Default]\nlocal_address=10.1.2.3\n");
  out = Run({"rewrite", "[Default]\nlocal_address=10.4.5.6\n"});
  EXPECT_NE(out.find("ip=10.1.2.3\nagain=10.1.2.3\nhost=10.1.2.3\n"),
            std::string::npos)
      << out;
}

TEST_F(LocalIp, ConcurrentFirstCallsAgree) {
  copy_.WriteIni("[Default]\nlocal_address=10.1.2.3\n");
  std::string out = Run({"threads", "8"});
  EXPECT_NE(out.find("ip=10.1.2.3\nagree\n"), std::string::npos) << out;
  copy_.RemoveIni();
  out = Run({"threads", "8"});
  EXPECT_NE(out.find("ip=" + DetectedHere() + "\nagree\n"), std::string::npos)
      << out;
}

TEST(LocalIpInProcess, ConcurrentFirstCallsFillTheCacheOnce) {
  KX_IN_FRESH_PROCESS();
  std::atomic<int> waiting{8};
  std::vector<std::string> answers(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < answers.size(); ++i)
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      answers[i] = Str(KXGetLocalIp());
    });
  for (std::thread& t : threads) t.join();
  for (const std::string& answer : answers) EXPECT_EQ(answer, answers[0]);
  EXPECT_FALSE(answers[0].empty());
  EXPECT_EQ(Str(g_host), answers[0]);
}

TEST(RandomStr, LengthsAndAlphabet) {
  KXSetLastError(0);
  EXPECT_EQ(Str(KXRandomStr(0)), "");
  for (int n : {1, 16, 33, 1000}) {
    const std::string text = Str(KXRandomStr(n));
    EXPECT_EQ(text.size(), 2u * static_cast<size_t>(n));
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos)
        << text;
  }
  EXPECT_NE(Str(KXRandomStr(16)), Str(KXRandomStr(16)));
  EXPECT_EQ(KXGetLastError(), 0);
}

// A generator that always fails: the answer must be empty, not a string made
// from some other source.
int FailingBytes(unsigned char*, int) { return 0; }
int FailingStatus() { return 0; }
const RAND_METHOD kFailingRand = {nullptr, FailingBytes, nullptr,
                                  nullptr, FailingBytes, FailingStatus};

TEST(RandomStr, Refusals) {
  const RAND_METHOD* saved = RAND_get_rand_method();
  struct Row {
    int n;
    bool failingGenerator;
    int code;
    const char* line;
  } rows[] = {
      {-1, false, KX_ERR_INVALID_INPUT, "length -1 invalid, 5002"},
      {static_cast<int>(ckxstr::kMaxLength / 2 + 1), false, KX_ERR_SIZE_LIMIT,
       "length 536870913 to large, 5051"},
      {16, true, KX_ERR_OPENSSL, "length 16 RAND_bytes() error, 5069"},
  };
  for (const Row& row : rows) {
    fx::TestLog::Watch();
    KXSetLastError(0);
    if (row.failingGenerator) RAND_set_rand_method(&kFailingRand);
    const std::string text = Str(KXRandomStr(row.n));
    RAND_set_rand_method(saved);
    EXPECT_EQ(text, "") << row.n;
    EXPECT_EQ(KXGetLastError(), row.code) << row.n;
    EXPECT_TRUE(fx::TestLog::Has(row.line)) << fx::TestLog::Since();
  }
  EXPECT_EQ(Str(KXRandomStr(4)).size(), 8u);
}

}  // namespace
