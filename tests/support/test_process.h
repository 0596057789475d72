// Process-wide state in tests. A test program runs its tests one after the
// other in one process (or each in a process of its own under ctest), so a
// test never relies on what another test left behind:
//
// - TestLog: the libraries open their log file on the first line and keep it
//   open for the rest of the process, so a test program names one log file
//   for the whole run before its first test, and a test reads only what was
//   written after it called Watch:
//
//     fx::TestLog::Watch();          // level 0 (TRACE) and a mark
//     ...calls...
//     EXPECT_TRUE(fx::TestLog::Has("SE_CheckSealVerson-->5023"));
//
// - KX_IN_FRESH_PROCESS(): for the few tests of state that only a fresh
//   process has (the log before it was first opened, the digest holder right
//   after load). The test body runs again in a new process of this program,
//   filtered to this one test; the calling test passes when that run passes.
#pragma once

#include <string>

namespace fx {

class TestLog {
 public:
  // Sets the minimum log level and remembers the end of the log file.
  static void Watch(int level = 0);
  // What the libraries wrote since the last Watch.
  static std::string Since();
  static bool Has(const std::string& text) {
    return Since().find(text) != std::string::npos;
  }
  // The log file of this process.
  static const std::string& Path();
};

// True when the running test may go on in this process: it is the first test
// the process runs, or this process is the one started for it. Otherwise runs
// the test in a new process, records its result, and returns false.
bool InFreshProcess();

}  // namespace fx

#define KX_IN_FRESH_PROCESS()            \
  do {                                   \
    if (!::fx::InFreshProcess()) return; \
  } while (0)
