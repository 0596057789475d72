// device_probe LOGFILE [threads|NEW_MAIN_INI]
// Binds the key-device driver the way a program does and prints
// "<SE_Initialize result> <application name>" and, after a second
// SE_Initialize (with main.ini replaced by NEW_MAIN_INI when given), the same
// again. "threads" runs the first call on eight threads at once. Tests run it
// with LD_LIBRARY_PATH pointing at a private copy of the libraries, so that
// it reads the main.ini of that copy in a process of its own.
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KXLog.h"
#include "SealDevice.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  KXSetLogPath(argv[1]);
  KXSetLogLevel(0);
  const std::string mode = argc > 2 ? argv[2] : "";
  uint32_t first = 0;
  if (mode == "threads") {
    std::vector<std::thread> threads;
    std::vector<uint32_t> results(8);
    for (size_t i = 0; i < results.size(); ++i)
      threads.emplace_back([&results, i] { results[i] = SE_Initialize(); });
    for (auto& t : threads) t.join();
    first = results[0];
    for (uint32_t r : results)
      if (r != first) first = 99;
  } else {
    first = SE_Initialize();
  }
  std::printf("%u %s\n", first, GET_ESEAL_APP_NAME());
  if (!mode.empty() && mode != "threads")
    std::ofstream(std::string(KXGetDllPath()) + "main.ini") << mode;
  const uint32_t second = SE_Initialize();
  std::printf("%u %s\n", second, GET_ESEAL_APP_NAME());
  return 0;
}
