// The frame of libsealverify: error reporting, the time export and the
// verifyCL switch.
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KXError.h"
#include "KXIni.h"
#include "KXLog.h"
#include "KXString.h"
#include "KXTime.h"
#include "SealVerify.h"
#include "sealverify_internal.h"

namespace sv {
namespace {
// -1 until a non-empty main.ini was read; then 0 or 1 for good. Threads that
// race on the first read compute the same value from the same file.
std::atomic<int> g_verifyCL{-1};
}  // namespace

int GET_VERIFY_CERT_LIST_FLAG() {
  int cached = g_verifyCL.load(std::memory_order_relaxed);
  if (cached != -1) return cached;
  try {
    std::string path = std::string(KXGetDllPath()) + "main.ini";
    // A missing main.ini is not an error: it is not handed to KXReadFile,
    // which would log an error line and leave 5005 as the thread's last
    // error on every verification.
    struct stat st;
    ckxstr text;
    if (stat(path.c_str(), &st) == 0) text = KXReadFile(path.c_str());
    KX_LOG(KX_LOG_DEBUG, "GET_VERIFY_CERT_LIST_FLAG", "-->KXReadFile path is %s",
           path.c_str());
    if (text.empty()) return -1;
    KX_LOG(KX_LOG_DEBUG, "GET_VERIFY_CERT_LIST_FLAG", "-->get dll %s",
           text.c_str());
    int flag = 0;
    ckxstr value = KXIniReadStr(text, "Default", "verifyCL", nullptr);
    if (!value.empty() && std::strtol(value.c_str(), nullptr, 10) != 0) flag = 1;
    g_verifyCL.store(flag, std::memory_order_relaxed);
    KX_LOG(KX_LOG_DEBUG, "GET_VERIFY_CERT_LIST_FLAG", "-->get dll flag is %d",
           flag);
    return flag;
  } catch (...) {
    return -1;
  }
}

}  // namespace sv

extern "C" unsigned int SEF_GetLastError() {
  return static_cast<unsigned int>(KXGetLastError());
}

extern "C" const char* SEF_FormatError(unsigned int code) {
  return KXFormatError(static_cast<int>(code));
}

extern "C" void SEF_EPicture_Free(void* p) {
  delete[] static_cast<unsigned char*>(p);
}

unsigned int SEF_GetServerTime(unsigned char /*flag*/, char* out) {
  if (out == nullptr) {
    KX_LOG_ERR("SEF_GetServerTime", "SEF_GetServerTime==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  out[0] = '\0';
  try {
    ckxstr text = KXTimeToStr(KXGetTime(true), true, true);
    // At most 15 characters (GeneralizedTime) and the NUL.
    if (text.length() <= 15) std::memcpy(out, text.c_str(), text.length() + 1);
  } catch (...) {
  }
  KX_LOG(KX_LOG_DEBUG, "SEF_GetServerTime", "SEF_GetServerTime==>%s ", out);
  return 0;
}
