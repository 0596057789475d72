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
// race on the first read compute the same values from the same file, and
// store the switches before the flag that publishes them.
std::atomic<int> g_verifyCL{-1};
std::atomic<bool> g_checkSealOwner{true};
std::atomic<bool> g_checkSealPeriod{false};
std::atomic<bool> g_strictDer{false};

// A key's value as strtol reads its leading digits; `absent` when the key is
// missing or empty.
long IniNumber(const ckxstr& text, const char* key, long absent) {
  ckxstr value = KXIniReadStr(text, "Default", key, nullptr);
  return value.empty() ? absent : std::strtol(value.c_str(), nullptr, 10);
}
}  // namespace

int GET_VERIFY_CERT_LIST_FLAG() {
  int cached = g_verifyCL.load(std::memory_order_acquire);
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
    // checkSealOwner: only the value 0 turns the owner binding off;
    // checkSealPeriod and strictDer: only 1 turns them on.
    g_checkSealOwner.store(
        std::strcmp(KXIniReadStr(text, "Default", "checkSealOwner", nullptr)
                        .c_str(),
                    "0") != 0,
        std::memory_order_relaxed);
    g_checkSealPeriod.store(IniNumber(text, "checkSealPeriod", 0) == 1,
                            std::memory_order_relaxed);
    g_strictDer.store(IniNumber(text, "strictDer", 0) == 1,
                      std::memory_order_relaxed);
    const int flag = IniNumber(text, "verifyCL", 0) != 0 ? 1 : 0;
    g_verifyCL.store(flag, std::memory_order_release);
    KX_LOG(KX_LOG_DEBUG, "GET_VERIFY_CERT_LIST_FLAG", "-->get dll flag is %d",
           flag);
    return flag;
  } catch (...) {
    return -1;
  }
}

VerifySwitches GetVerifySwitches() {
  VerifySwitches s;
  s.verifyCL = GET_VERIFY_CERT_LIST_FLAG();
  if (s.verifyCL != -1) {
    s.checkSealOwner = g_checkSealOwner.load(std::memory_order_relaxed);
    s.checkSealPeriod = g_checkSealPeriod.load(std::memory_order_relaxed);
    s.strictDer = g_strictDer.load(std::memory_order_relaxed);
  }
  return s;
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
  // The caller's buffer holds 16 bytes: at most 15 characters
  // (GeneralizedTime) and the NUL. Nothing here throws.
  ckxstr text = KXTimeToStr(KXGetTime(true), true, true);
  uint32_t capacity = 16;
  kx::DeliverOutput(text.c_str(), text.length() + 1,
                    reinterpret_cast<unsigned char*>(out), &capacity);
  KX_LOG(KX_LOG_DEBUG, "SEF_GetServerTime", "SEF_GetServerTime==>%s ", out);
  return 0;
}
