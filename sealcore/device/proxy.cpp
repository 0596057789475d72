// The server proxy identity configured in main.ini, and the slot in which an
// application leaves a pointer to its web cookie.
#include <atomic>
#include <mutex>
#include <string>

#include "KXError.h"
#include "KXIni.h"
#include "KXLog.h"
#include "KXString.h"
#include "SealServices.h"
#include "foundation/export_boundary.h"

const char* gNetcookie = nullptr;

namespace {

const char kProxyFn[] = "GET_ESEAL_SERVER_PROXY_ID";

// The identity in UTF-8, filled under g_proxyLock. Once it is not empty it
// never changes, and g_proxyPublished points at its text: later calls read
// that pointer without the lock.
std::mutex g_proxyLock;
std::string g_proxyId;
std::atomic<const char*> g_proxyPublished{nullptr};

// Reads main.ini and fills the cache when it holds a proxy name; returns the
// cached text, or "" (a static literal: the cache's own empty text would
// move when it is filled).
const char* FillProxyId() {
  std::lock_guard<std::mutex> lock(g_proxyLock);
  if (!g_proxyId.empty()) return g_proxyId.c_str();
  const std::string path = std::string(KXGetDllPath()) + "main.ini";
  const ckxstr ini = KXReadFile(path.c_str());
  KX_LOG(KX_LOG_DEBUG, kProxyFn, "-->KXReadFile path is %s", path.c_str());
  if (ini.empty()) return "";
  KX_LOG(KX_LOG_DEBUG, kProxyFn, "-->get dll %s", ini.c_str());
  const ckxstr name = KXIniReadStr(ini, "Default", "proxyName", nullptr);
  if (name.empty()) return "";
  const ckxstr utf8 =
      KXMbcsToUtf8(name.c_str(), static_cast<int>(name.length()));
  if (utf8.empty()) {
    KX_LOG_ERR(kProxyFn,
               "GET_ESEAL_SERVER_PROXY_ID-->%d -- proxyName is not GBK text",
               KX_ERR_CHARSET);
    return "";
  }
  g_proxyId.assign(utf8.c_str(), utf8.length());
  g_proxyPublished.store(g_proxyId.c_str(), std::memory_order_release);
  KX_LOG(KX_LOG_DEBUG, kProxyFn, "-->get dll name is %s", g_proxyId.c_str());
  return g_proxyId.c_str();
}

}  // namespace

const char* GET_ESEAL_SERVER_PROXY_ID() {
  static const kx::ExportFailure kFailure{
      kProxyFn, "GET_ESEAL_SERVER_PROXY_ID-->%d -- memory error",
      "GET_ESEAL_SERVER_PROXY_ID-->%d -- error"};
  const char* cached = g_proxyPublished.load(std::memory_order_acquire);
  if (cached != nullptr) return cached;
  const char* filled = kx::GuardValue(kFailure, [] { return FillProxyId(); });
  return filled != nullptr ? filled : "";
}

extern "C" void SEBF_SetWebcookie(const char* cookie) {
  // Applications read the slot as a plain pointer; the store is atomic so
  // that setters on several threads do not tear it.
  __atomic_store_n(&gNetcookie, cookie, __ATOMIC_RELEASE);
}
