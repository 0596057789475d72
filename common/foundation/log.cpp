// The process-wide log: levels, the line header, the 8190-byte line cap and
// size-based rotation.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "KXLog.h"
#include "state.h"

namespace kx {
namespace {

const int kLineMax = 8190;                  // with the trailing "\n"
const long long kRotateAbove = 10485759;    // 10 MiB - 1
const char* const kTags[] = {"[TRACE", "[DEBUG", "[INFO",
                             "[WARN",  "[ERROR", "[FATAL"};

// "<name without its last extension>_YYYY-MM-DD-hh-mm-ss.bak"
std::string BackupName(const std::string& name, const struct tm& t) {
  size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  char suffix[64];
  snprintf(suffix, sizeof suffix, "_%04d-%02d-%02d-%02d-%02d-%02d.bak",
           t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
           t.tm_sec);
  return stem + suffix;
}

// Writes one finished line under the log lock.
void WriteLine(const char* line, size_t len, const struct tm& now) {
  if (!g_logLock.lock()) return;
  try {
    if (g_log.size > kRotateAbove) {
      if (g_log.file != nullptr) {
        fclose(g_log.file);
        g_log.file = nullptr;
      }
      // With the name cleared there is no file to move: output goes to
      // standard output from now on.
      if (g_logName.empty()) {
        g_log.size = 0;
      } else {
        std::string from = g_logDir + g_logName;
        std::string to = g_logDir + BackupName(g_logName, now);
        if (rename(from.c_str(), to.c_str()) == 0) g_log.size = 0;
      }
    }
    if (g_log.file == nullptr) {
      if (g_logName.empty()) {
        fwrite(line, 1, len, stdout);
        g_logLock.unlock();
        return;
      }
      std::string path = g_logDir + g_logName;
      g_log.file = fopen(path.c_str(), "a+");
      if (g_log.file == nullptr) {
        g_logLock.unlock();
        return;
      }
    }
    if (g_log.size == -1) {
      fseek(g_log.file, 0, SEEK_END);
      g_log.size = ftell(g_log.file);
    }
    fwrite(line, 1, len, g_log.file);
    fflush(g_log.file);
    g_log.size += static_cast<long long>(len);
  } catch (...) {
  }
  g_logLock.unlock();
}

}  // namespace

void CloseLog() {
  if (!g_logLock.lock()) return;
  if (g_log.file != nullptr) fclose(g_log.file);
  g_log.file = nullptr;
  g_logLock.unlock();
}

}  // namespace kx

using namespace kx;

extern "C" void KXLog(int level, const char* function, int line,
                      const char* format, ...) {
  if (level < g_log.minLevel || level > 5 || function == nullptr ||
      format == nullptr || format[0] == '\0')
    return;
  time_t secs = time(nullptr);
  struct tm now;
  if (localtime_r(&secs, &now) == nullptr) memset(&now, 0, sizeof now);

  char buf[8192];
  const size_t tagLen = strlen(kTags[level]);
  memcpy(buf, kTags[level], tagLen);
  size_t used = tagLen;
  int n = snprintf(buf + used, static_cast<size_t>(kLineMax) - used,
                   " %04d-%02d-%02d %02d:%02d:%02d %u %s %d] ",
                   now.tm_year + 1900, now.tm_mon + 1, now.tm_mday,
                   now.tm_hour, now.tm_min, now.tm_sec,
                   static_cast<unsigned>(syscall(SYS_gettid)), function, line);
  if (n < 0) return;
  // snprintf reports the untruncated length: clamp to what was written.
  used += static_cast<size_t>(n);
  if (used > static_cast<size_t>(kLineMax) - 1) used = kLineMax - 1;

  va_list args;
  va_start(args, format);
  n = vsnprintf(buf + used, static_cast<size_t>(kLineMax) - used, format, args);
  va_end(args);
  if (n < 0) return;
  used += static_cast<size_t>(n);
  if (used > static_cast<size_t>(kLineMax) - 1) used = kLineMax - 1;
  buf[used++] = '\n';
  buf[used] = '\0';
  WriteLine(buf, used, now);
}

extern "C" void KXSetLogLevel(int level) {
  if (level >= 0 && level <= 5) g_log.minLevel = level;
}

extern "C" void KXSetLogPath(const char* path) {
  if (path == nullptr) {
    g_logName.clear();
    return;
  }
  if (path[0] == '\0') return;
  const char* sep = nullptr;
  for (const char* p = path + 1; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') sep = p;
  if (sep == nullptr) return;
  try {
    g_logDir.assign(path, static_cast<size_t>(sep - path + 1));
    g_logName.assign(sep + 1);
  } catch (...) {
  }
}

extern "C" const char* KXGetDllPath() { return g_dllPath.c_str(); }
extern "C" const char* KXGetExePath() { return g_exePath.c_str(); }
