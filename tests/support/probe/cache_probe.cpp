// cache_probe LOG ip|proxy THREADS [INI]
// THREADS threads make the first call of KXGetLocalIp or
// GET_ESEAL_SERVER_PROXY_ID at once; prints the library directory, the answer
// and whether all threads got it ("agree": the same text, or for the proxy
// the same pointer). With INI, then writes it as main.ini beside the library
// and prints the answer of a second call ("again="). Logs to LOG. Tests run
// it with LD_LIBRARY_PATH at a private copy of the libraries.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KXHost.h"
#include "KXLog.h"
#include "SealServices.h"

namespace {

std::string Ask(bool ip) {
  if (!ip) return GET_ESEAL_SERVER_PROXY_ID();
  const ckxstr s = KXGetLocalIp();
  return std::string(s.c_str(), s.length());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  KXSetLogPath(argv[1]);
  KXSetLogLevel(0);
  const bool ip = std::string(argv[2]) == "ip";
  const size_t n = std::stoul(argv[3]);
  std::atomic<size_t> waiting{n};
  std::vector<std::string> answers(n);
  std::vector<const void*> pointers(n);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      if (!ip) pointers[i] = GET_ESEAL_SERVER_PROXY_ID();
      answers[i] = Ask(ip);
    });
  bool agree = true;
  for (size_t i = 0; i < n; ++i) {
    threads[i].join();
    agree = agree && answers[i] == answers[0] && pointers[i] == pointers[0];
  }
  std::printf("dll=%s\nfirst=%s\n%s\n", KXGetDllPath(), answers[0].c_str(),
              agree ? "agree" : "differ");
  if (argc > 4) {
    std::ofstream(std::string(KXGetDllPath()) + "main.ini") << argv[4];
    std::printf("again=%s\n", Ask(ip).c_str());
  }
  return 0;
}
