// Process-wide state of libKXCommon, created at load in one translation unit
// (init.cpp) so that the order of construction and destruction is fixed.
#pragma once

#include <atomic>
#include <string>

#include "KXError.h"

namespace kx {

// Everything but the level is guarded by g_logLock. The level is read before
// the lock is taken (lines below it cost nothing), hence atomic.
struct LogState {
  std::atomic<int> minLevel{2};  // INFO
  long long size = -1;  // bytes in the current file; -1 not yet measured
  int fd = -1;          // the open log file, opened for appending
  bool refusalReported = false;  // the one line on standard error was written
};

// Path strings: library directory, executable directory, log directory, log
// file name. The two module directories end with "/".
extern std::string g_dllPath;
extern std::string g_exePath;
extern std::string g_logDir;
extern std::string g_logName;
extern LogState g_log;
extern CKXMutex g_logLock;
// True between the creation of g_tlsKey at load and its deletion at unload;
// the store is not touched outside that window.
extern bool g_tlsKeyReady;

// Directory of the running executable from /proc/self/exe, with "/" at the
// end. The link is read whole whatever its length; "./" when it cannot be
// read or names no directory.
std::string FindExeDir();
// Directory of the file "libKXCommon.so.1.0.0" among the mappings listed in
// `maps` (the text of /proc/self/maps); empty when absent.
std::string FindLibraryDirInMaps(const std::string& maps);
// Closes the log file at unload.
void CloseLog();
// Sends Mini-XML's error messages on the calling thread to the log (xml.cpp).
void RouteXmlErrors();

}  // namespace kx
