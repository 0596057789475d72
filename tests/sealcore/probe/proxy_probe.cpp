// proxy_probe LOG [rewrite TEXT | threads N]
// Prints the library directory and, in hex, GET_ESEAL_SERVER_PROXY_ID of a
// process of its own ("dll=", "id="), logging to LOG. With "rewrite", then
// writes TEXT as the main.ini beside libKXCommon and prints the second answer
// ("again=") and whether it is the same pointer ("stable=1"); with
// "threads", N threads make the first call at once and it prints "agree"
// when they all got the same pointer. Tests run it with LD_LIBRARY_PATH at a
// private copy of the libraries.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KXLog.h"
#include "SealServices.h"

namespace {

std::string Hex(const char* text) {
  std::string out;
  char pair[3];
  for (size_t i = 0; i < std::strlen(text); ++i) {
    std::snprintf(pair, sizeof pair, "%02x",
                  static_cast<unsigned char>(text[i]));
    out += pair;
  }
  return out;
}

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
    std::vector<const char*> answers(static_cast<size_t>(n));
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
      threads.emplace_back([&, i] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) {
        }
        answers[static_cast<size_t>(i)] = GET_ESEAL_SERVER_PROXY_ID();
      });
    for (std::thread& t : threads) t.join();
    bool agree = true;
    for (const char* a : answers) agree = agree && a == answers[0];
    std::printf("id=%s\n%s\n", Hex(answers[0]).c_str(),
                agree ? "agree" : "differ");
    return 0;
  }
  const char* first = GET_ESEAL_SERVER_PROXY_ID();
  std::printf("id=%s\n", Hex(first).c_str());
  if (mode == "rewrite" && argc > 3) {
    std::ofstream(std::string(KXGetDllPath()) + "main.ini", std::ios::binary)
        << argv[3];
    const char* second = GET_ESEAL_SERVER_PROXY_ID();
    std::printf("again=%s\nstable=%d\n", Hex(second).c_str(),
                first == second ? 1 : 0);
  }
  return 0;
}
