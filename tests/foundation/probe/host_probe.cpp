// host_probe LOG [rewrite TEXT | threads N]
// Prints the library directory and KXGetLocalIp of a process of its own
// ("dll=", "ip="), logging to LOG. With "rewrite", then writes TEXT as the
// main.ini beside the library and prints the second answer and g_host
// ("again=", "host="); with "threads", N threads make the first call at once
// and it prints "agree" when they all got the same answer. Tests run it with
// LD_LIBRARY_PATH at a private copy of the libraries.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KXHost.h"
#include "KXLog.h"

namespace {

std::string Text(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  KXSetLogPath(argv[1]);
  KXSetLogLevel(0);
  const std::string mode = argc > 2 ? argv[2] : "";
  std::printf("dll=%s\n", KXGetDllPath());
  if (mode == "threads" && argc > 3) {
    const int n = std::stoi(argv[3]);
    std::atomic<int> waiting{n};
    std::vector<std::string> answers(static_cast<size_t>(n));
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
      threads.emplace_back([&, i] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) {
        }
        answers[static_cast<size_t>(i)] = Text(KXGetLocalIp());
      });
    for (std::thread& t : threads) t.join();
    bool agree = true;
    for (const std::string& a : answers) agree = agree && a == answers[0];
    std::printf("ip=%s\n%s\n", answers[0].c_str(), agree ? "agree" : "differ");
    return 0;
  }
  std::printf("ip=%s\n", Text(KXGetLocalIp()).c_str());
  if (mode == "rewrite" && argc > 3) {
    std::ofstream(std::string(KXGetDllPath()) + "main.ini", std::ios::binary)
        << argv[3];
    std::printf("again=%s\nhost=%s\n", Text(KXGetLocalIp()).c_str(),
                Text(g_host).c_str());
  }
  return 0;
}
