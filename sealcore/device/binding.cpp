// Binding of the SKF driver: the table, its loader and the start-up
// configuration read from main.ini.
#include <dlfcn.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "KXIni.h"
#include "KXString.h"
#include "foundation/export_boundary.h"
#include "skf_table.h"

void* funcList[SKF_TABLE_SLOTS] = {};

namespace {

const char kDefaultDriver[] = "dv318k_gm.dll";

struct BoundName {
  int slot;
  const char* name;
};

const BoundName kBoundNames[] = {
#define SKF_SLOT_NAME(name, slot) {slot, #name},
    SKF_TABLE_SLOT_LIST(SKF_SLOT_NAME)
#undef SKF_SLOT_NAME
};

// The application name the walks open. Written only by SE_Initialize while
// the table is unbound, under g_initMutex; read afterwards.
std::string& AppName() {
  static std::string name = "Default";
  return name;
}

// Serialises first initialisations: one load, one reading of main.ini.
std::mutex g_initMutex;

// The driver file main.ini names: a bare file name other than the default
// is looked for in the library folder; the default name and any name with a
// path separator are used as they are (the default through the system's
// library search path).
std::string DriverName(const std::string& configured) {
  if (configured.empty()) return kDefaultDriver;
  if (configured.find_first_of("/\\") != std::string::npos ||
      configured == kDefaultDriver)
    return configured;
  return std::string(KXGetDllPath()) + configured;
}

uint32_t Initialize() {
  static const char kFn[] = "SE_Initialize";
  KX_LOG(KX_LOG_DEBUG, kFn, "-->SE_Initialize begin ");
  const std::string path = std::string(KXGetDllPath()) + "main.ini";
  const ckxstr ini = KXReadFile(path.c_str());
  KX_LOG(KX_LOG_DEBUG, kFn, "-->KXReadFile path is %s", path.c_str());
  std::string driver = kDefaultDriver;
  if (!ini.empty()) {
    const ckxstr level = KXIniReadStr(ini, "Default", "logLevel", "");
    if (!level.empty()) {
      const int value =
          static_cast<int>(std::strtol(level.c_str(), nullptr, 10));
      KXSetLogLevel(value);
      KX_LOG(KX_LOG_DEBUG, kFn, "-->KXSetLogLevell %d", value);
    }
    KX_LOG(KX_LOG_DEBUG, kFn, "-->get dll %s", ini.c_str());
    KX_LOG(KX_LOG_DEBUG, kFn, "-->KXIniReadStr appname begin");
    const ckxstr app = KXIniReadStr(ini, "Default", "appname", "");
    if (!app.empty()) {
      AppName().assign(app.c_str(), app.length());
      KX_LOG(KX_LOG_DEBUG, kFn, "-->get dll name is %s", app.c_str());
    }
    KX_LOG(KX_LOG_DEBUG, kFn, "-->KXIniReadStr appname end");
    KX_LOG(KX_LOG_DEBUG, kFn, "-->dllpath dllpath begin");
    const ckxstr configured = KXIniReadStr(ini, "Default", "dllpath", "");
    driver = DriverName(std::string(configured.c_str(), configured.length()));
    KX_LOG(KX_LOG_DEBUG, kFn, "-->get dll path is %s", driver.c_str());
    const int checkDev = KXIniReadInt(ini, "Default", "checkDev", 0);
    KX_LOG(KX_LOG_DEBUG, kFn, "-->get dll checkDev is %d", checkDev);
  }
  const uint32_t loaded = SKF_LoadLibrary(driver.c_str(), funcList);
  if (loaded != 0) {
    KX_LOG_ERR(kFn, "Initialize-->LoadLibrary fail,%d", loaded);
    return 0;
  }
  KX_LOG(KX_LOG_DEBUG, kFn, "LoadLibrary ok");
  OPENSSL_init_crypto(
      OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  return 1;
}

}  // namespace

uint32_t SE_Initialize() {
  if (kx::skf::BoundHandle() != nullptr) return 1;
  static const kx::ExportFailure kFailure{"SE_Initialize", "", ""};
  return kx::GuardValue(kFailure, []() -> uint32_t {
    std::lock_guard<std::mutex> lock(g_initMutex);
    // Another thread may have bound the driver while this one waited.
    if (kx::skf::BoundHandle() != nullptr) return 1;
    return Initialize();
  });
}

const char* GET_ESEAL_APP_NAME() { return AppName().c_str(); }

extern "C" uint32_t SKF_LoadLibrary(const char* fileName, void** table) {
  static const char kFn[] = "SKF_LoadLibrary";
  if (table == nullptr) return SAR_INVALIDPARAMERR;
  if (__atomic_load_n(&table[0], __ATOMIC_ACQUIRE) != nullptr) return SAR_OK;
  if (fileName == nullptr) return SAR_INVALIDPARAMERR;
  void* handle = dlopen(fileName, RTLD_LAZY);
  if (handle == nullptr) {
    const char* why = dlerror();
    KX_LOG(KX_LOG_DEBUG, kFn, "SKF_LoadLibrary-->dlopen %s: %s", fileName,
           why != nullptr ? why : "");
    return SAR_FAIL;
  }
  // Every entry point is looked up before the table changes; a missing one
  // (or one that resolves to null) unloads the driver again.
  void* bound[SKF_TABLE_SLOTS] = {};
  for (const BoundName& entry : kBoundNames) {
    dlerror();
    void* symbol = dlsym(handle, entry.name);
    const char* why = dlerror();
    if (symbol == nullptr || why != nullptr) {
      KX_LOG(KX_LOG_DEBUG, kFn, "SKF_LoadLibrary-->%s missing in %s",
             entry.name, fileName);
      dlclose(handle);
      return SAR_NOTSUPPORTYETERR;
    }
    bound[entry.slot] = symbol;
  }
  for (const BoundName& entry : kBoundNames)
    table[entry.slot] = bound[entry.slot];
  // The handle goes in last: a reader that sees it sees every slot.
  __atomic_store_n(&table[0], handle, __ATOMIC_RELEASE);
  return SAR_OK;
}

extern "C" uint32_t SKF_FreeLibrary(void** table) {
  if (table == nullptr) return SAR_INVALIDPARAMERR;
  void* handle = __atomic_exchange_n(&table[0], nullptr, __ATOMIC_ACQ_REL);
  if (handle != nullptr) dlclose(handle);
  return SAR_OK;
}
