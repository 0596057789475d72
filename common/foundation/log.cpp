// The process-wide log: levels, the line header, the 8190-byte line cap and
// size-based rotation.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "KXLog.h"
#include "foundation/export_boundary.h"
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

// Says once per process why the log file is not written: a refused file
// drops every line, and the host program should learn why.
void ReportRefusal(const std::string& path, const char* why) {
  if (g_log.refusalReported) return;
  g_log.refusalReported = true;
  fprintf(stderr, "kxlog: not writing to %s: %s\n", path.c_str(), why);
}

// Opens the log file for appending, creating it (mode 0600) when missing.
// The log usually lives in a directory that everyone may write (/tmp), so
// the file is refused when it is a symbolic link (O_NOFOLLOW), not a regular
// file, or owned by another user: a planted link or file must not make the
// host program append to a file that someone else chose. O_NONBLOCK keeps a
// planted FIFO from blocking the open; on a regular file it changes nothing.
// Returns the descriptor and sets `size` to the file's size, or returns -1.
int OpenLogFile(const std::string& path, long long* size) {
  const int fd =
      open(path.c_str(),
           O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
           0600);
  if (fd < 0) {
    if (errno == ELOOP) ReportRefusal(path, "it is a symbolic link");
    return -1;
  }
  struct stat st;
  const char* why = nullptr;
  if (fstat(fd, &st) != 0)
    why = "its status cannot be read";
  else if (!S_ISREG(st.st_mode))
    why = "it is not a regular file";
  else if (st.st_uid != geteuid())
    why = "it belongs to another user";
  if (why != nullptr) {
    close(fd);
    ReportRefusal(path, why);
    return -1;
  }
  *size = static_cast<long long>(st.st_size);
  return fd;
}

void WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    len -= static_cast<size_t>(n);
  }
}

// The log lock for a scope; held() is false when it could not be taken.
class LogLock {
 public:
  LogLock() : held_(g_logLock.lock()) {}
  ~LogLock() {
    if (held_) g_logLock.unlock();
  }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;
  bool held() const { return held_; }

 private:
  const bool held_;
};

// Writes one finished line under the log lock.
void WriteLine(const char* line, size_t len, const struct tm& now) {
  LogLock lock;
  if (!lock.held()) return;
  if (g_log.size > kRotateAbove) {
    if (g_log.fd >= 0) {
      close(g_log.fd);
      g_log.fd = -1;
    }
    // With the name cleared there is no file to move: output goes to
    // standard output from now on. rename moves a symbolic link itself,
    // never the file it points to.
    if (g_logName.empty()) {
      g_log.size = 0;
    } else {
      std::string from = g_logDir + g_logName;
      std::string to = g_logDir + BackupName(g_logName, now);
      if (rename(from.c_str(), to.c_str()) == 0) g_log.size = 0;
    }
  }
  if (g_log.fd < 0) {
    if (g_logName.empty()) {
      fwrite(line, 1, len, stdout);
      return;
    }
    long long size = 0;
    g_log.fd = OpenLogFile(g_logDir + g_logName, &size);
    if (g_log.fd < 0) return;
    // Measured once when opened, then counted.
    if (g_log.size == -1) g_log.size = size;
  }
  WriteAll(g_log.fd, line, len);
  g_log.size += static_cast<long long>(len);
}

}  // namespace

void CloseLog() {
  LogLock lock;
  if (!lock.held()) return;
  if (g_log.fd >= 0) close(g_log.fd);
  g_log.fd = -1;
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
  // A line that cannot be written for want of memory is dropped.
  GuardValue(SilentFailure("KXLog"), [&] { WriteLine(buf, used, now); });
}

extern "C" void KXSetLogLevel(int level) {
  if (level >= 0 && level <= 5) g_log.minLevel = level;
}

// The new path takes effect when the file is next opened; the strings are
// written under the log lock, since a line being written may read them.
extern "C" void KXSetLogPath(const char* path) {
  const char* sep = nullptr;
  if (path != nullptr) {
    if (path[0] == '\0') return;
    for (const char* p = path + 1; *p != '\0'; ++p)
      if (*p == '/' || *p == '\\') sep = p;
    if (sep == nullptr) return;
  }
  GuardValue(SilentFailure("KXSetLogPath"), [&] {
    LogLock lock;
    if (!lock.held()) return;
    if (path == nullptr) {
      g_logName.clear();
    } else {
      g_logDir.assign(path, static_cast<size_t>(sep - path + 1));
      g_logName.assign(sep + 1);
    }
  });
}

extern "C" const char* KXGetDllPath() { return g_dllPath.c_str(); }
extern "C" const char* KXGetExePath() { return g_exePath.c_str(); }
