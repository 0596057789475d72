/* Process-wide log file with levels and size-based rotation, and the
   directories of the running executable and of libKXCommon. C and C++. */
#pragma once

#include "kx_export.h"

#ifdef __cplusplus
enum KXLogLevel : int {
#else
enum KXLogLevel {
#endif
  KX_LOG_TRACE = 0,
  KX_LOG_DEBUG = 1,
  KX_LOG_INFO = 2,
  KX_LOG_WARN = 3,
  KX_LOG_ERROR = 4,
  KX_LOG_FATAL = 5,
};

#ifdef __cplusplus
extern "C" {
#endif

// Writes one line: "[TAG yyyy-mm-dd hh:mm:ss tid func line] message\n",
// at most 8190 bytes in all. The log file (default /tmp/kxlog.txt, mode 0600
// when created) is not written when it is a symbolic link, not a regular
// file, or another user's; standard error says so once per process.
KX_EXPORT void KXLog(int level, const char* function, int line,
                     const char* format, ...)
    __attribute__((format(printf, 4, 5)));
KX_EXPORT void KXSetLogLevel(int level);
// Null sends later lines to standard output; otherwise splits the path into
// directory and file name at its last separator.
KX_EXPORT void KXSetLogPath(const char* path);
// Directory of libKXCommon.so.1.0.0, ending with "/". Owned by the library.
KX_EXPORT const char* KXGetDllPath(void);
// Directory of the running executable, ending with "/". Owned by the library.
KX_EXPORT const char* KXGetExePath(void);

#ifdef __cplusplus
}
#endif

// Logs under an explicit function name (the name a record must carry is not
// always the enclosing function's) with the current source line.
#define KX_LOG(level, function, ...) \
  KXLog((level), (function), __LINE__, __VA_ARGS__)
#define KX_LOG_ERR(function, ...) KX_LOG(KX_LOG_ERROR, function, __VA_ARGS__)
