// A failure driver for the key-device tests: it forwards every SKF call to
// the software key device and, on request, fails a chosen call with a chosen
// code or answers its name lists without their terminators. Built twice: as
// a complete driver and, with SKFSHIM_OMIT set, without one entry point.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#define SKF_API __attribute__((visibility("default")))
#include "SKF.h"

namespace {

struct Fault {
  ULONG code = SAR_OK;
  int nth = 0;    // 0: every call; n: only the n-th call after it was set
  int calls = 0;
};

std::mutex g_mutex;
std::map<std::string, Fault> g_faults;
bool g_unterminated = false;

void* Target() {
  static void* handle = [] {
    const char* path = std::getenv("SKFSHIM_TARGET");
    return dlopen(path != nullptr ? path : SKFSHIM_DEFAULT_TARGET,
                  RTLD_NOW | RTLD_LOCAL);
  }();
  return handle;
}

// The injected failure of this call of `name`, or SAR_OK.
ULONG Injected(const char* name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_faults.find(name);
  if (it == g_faults.end()) return SAR_OK;
  Fault& fault = it->second;
  ++fault.calls;
  if (fault.nth != 0 && fault.calls != fault.nth) return SAR_OK;
  return fault.code;
}

// A name list whose read answered: its terminators are replaced by bytes
// that are not NUL and the length no longer counts them, so a reader that
// goes past the answered length sees garbage names.
void Unterminate(LPSTR list, ULONG* size) {
  if (list == nullptr || !g_unterminated || *size < 2) return;
  list[*size - 1] = 'Z';
  list[*size - 2] = 'Z';
  *size -= 2;
}

template <class Fn, class... Args>
ULONG Forward(const char* name, Args... args) {
  if (ULONG code = Injected(name)) return code;
  void* target = Target();
  void* fn = target != nullptr ? dlsym(target, name) : nullptr;
  if (fn == nullptr) return SAR_FAIL;
  return reinterpret_cast<Fn>(fn)(args...);
}

}  // namespace

extern "C" {

// Test controls: fail `name` with `code` (0 clears it) on every call or
// only on the nth; answer lists without terminators; clear everything.
SKF_API void SkfShimFail(const char* name, ULONG code, int nth) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (code == SAR_OK)
    g_faults.erase(name);
  else
    g_faults[name] = Fault{code, nth, 0};
}
SKF_API void SkfShimUnterminatedLists(int on) { g_unterminated = on != 0; }
SKF_API void SkfShimReset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_faults.clear();
  g_unterminated = false;
}

#define FORWARD(name, params, args) \
  SKF_API ULONG name params { return Forward<PFN_##name> args; }

#define FORWARD_LIST(name, params, args, list, size) \
  SKF_API ULONG name params {                        \
    ULONG code = Forward<PFN_##name> args;           \
    if (code == SAR_OK) Unterminate(list, size);     \
    return code;                                     \
  }

FORWARD_LIST(SKF_EnumDev, (BOOL a, LPSTR b, ULONG* c),
             ("SKF_EnumDev", a, b, c), b, c)
FORWARD(SKF_ConnectDev, (LPSTR a, DEVHANDLE* b), ("SKF_ConnectDev", a, b))
FORWARD(SKF_DisConnectDev, (DEVHANDLE a), ("SKF_DisConnectDev", a))
FORWARD(SKF_GetDevInfo, (DEVHANDLE a, DEVINFO* b), ("SKF_GetDevInfo", a, b))
FORWARD(SKF_VerifyPIN, (HAPPLICATION a, ULONG b, LPSTR c, ULONG* d),
        ("SKF_VerifyPIN", a, b, c, d))
FORWARD(SKF_EnumApplication, (DEVHANDLE a, LPSTR b, ULONG* c),
        ("SKF_EnumApplication", a, b, c))
FORWARD(SKF_OpenApplication, (DEVHANDLE a, LPSTR b, HAPPLICATION* c),
        ("SKF_OpenApplication", a, b, c))
FORWARD(SKF_CloseApplication, (HAPPLICATION a), ("SKF_CloseApplication", a))
FORWARD(SKF_CreateFile, (HAPPLICATION a, LPSTR b, ULONG c, ULONG d, ULONG e),
        ("SKF_CreateFile", a, b, c, d, e))
FORWARD(SKF_DeleteFile, (HAPPLICATION a, LPSTR b), ("SKF_DeleteFile", a, b))
FORWARD_LIST(SKF_EnumFiles, (HAPPLICATION a, LPSTR b, ULONG* c),
             ("SKF_EnumFiles", a, b, c), b, c)
FORWARD(SKF_GetFileInfo, (HAPPLICATION a, LPSTR b, FILEATTRIBUTE* c),
        ("SKF_GetFileInfo", a, b, c))
FORWARD(SKF_ReadFile,
        (HAPPLICATION a, LPSTR b, ULONG c, ULONG d, BYTE* e, ULONG* f),
        ("SKF_ReadFile", a, b, c, d, e, f))
FORWARD(SKF_WriteFile, (HAPPLICATION a, LPSTR b, ULONG c, BYTE* d, ULONG e),
        ("SKF_WriteFile", a, b, c, d, e))
FORWARD(SKF_CreateContainer, (HAPPLICATION a, LPSTR b, HCONTAINER* c),
        ("SKF_CreateContainer", a, b, c))
FORWARD(SKF_DeleteContainer, (HAPPLICATION a, LPSTR b),
        ("SKF_DeleteContainer", a, b))
FORWARD_LIST(SKF_EnumContainer, (HAPPLICATION a, LPSTR b, ULONG* c),
             ("SKF_EnumContainer", a, b, c), b, c)
FORWARD(SKF_OpenContainer, (HAPPLICATION a, LPSTR b, HCONTAINER* c),
        ("SKF_OpenContainer", a, b, c))
FORWARD(SKF_CloseContainer, (HCONTAINER a), ("SKF_CloseContainer", a))
FORWARD(SKF_GetContainerType, (HCONTAINER a, ULONG* b),
        ("SKF_GetContainerType", a, b))
FORWARD(SKF_ImportCertificate, (HCONTAINER a, BOOL b, BYTE* c, ULONG d),
        ("SKF_ImportCertificate", a, b, c, d))
FORWARD(SKF_ExportCertificate, (HCONTAINER a, BOOL b, BYTE* c, ULONG* d),
        ("SKF_ExportCertificate", a, b, c, d))
FORWARD(SKF_GenRandom, (DEVHANDLE a, BYTE* b, ULONG c),
        ("SKF_GenRandom", a, b, c))
FORWARD(SKF_GenRSAKeyPair, (HCONTAINER a, ULONG b, RSAPUBLICKEYBLOB* c),
        ("SKF_GenRSAKeyPair", a, b, c))
FORWARD(SKF_ImportRSAKeyPair,
        (HCONTAINER a, ULONG b, BYTE* c, ULONG d, BYTE* e, ULONG f),
        ("SKF_ImportRSAKeyPair", a, b, c, d, e, f))
FORWARD(SKF_RSASignData, (HCONTAINER a, BYTE* b, ULONG c, BYTE* d, ULONG* e),
        ("SKF_RSASignData", a, b, c, d, e))
FORWARD(SKF_RSAVerify,
        (DEVHANDLE a, RSAPUBLICKEYBLOB* b, BYTE* c, ULONG d, BYTE* e, ULONG f),
        ("SKF_RSAVerify", a, b, c, d, e, f))
FORWARD(SKF_GenECCKeyPair, (HCONTAINER a, ULONG b, ECCPUBLICKEYBLOB* c),
        ("SKF_GenECCKeyPair", a, b, c))
FORWARD(SKF_ImportECCKeyPair, (HCONTAINER a, PENVELOPEDKEYBLOB b),
        ("SKF_ImportECCKeyPair", a, b))
FORWARD(SKF_ECCSignData, (HCONTAINER a, BYTE* b, ULONG c, PECCSIGNATUREBLOB d),
        ("SKF_ECCSignData", a, b, c, d))
FORWARD(SKF_ECCVerify,
        (DEVHANDLE a, ECCPUBLICKEYBLOB* b, BYTE* c, ULONG d,
         PECCSIGNATUREBLOB e),
        ("SKF_ECCVerify", a, b, c, d, e))
FORWARD(SKF_ExportPublicKey, (HCONTAINER a, BOOL b, BYTE* c, ULONG* d),
        ("SKF_ExportPublicKey", a, b, c, d))
FORWARD(SKF_ImportSessionKey,
        (HCONTAINER a, ULONG b, BYTE* c, ULONG d, HANDLE* e),
        ("SKF_ImportSessionKey", a, b, c, d, e))
FORWARD(SKF_SetSymmKey, (DEVHANDLE a, BYTE* b, ULONG c, HANDLE* d),
        ("SKF_SetSymmKey", a, b, c, d))
FORWARD(SKF_EncryptInit, (HANDLE a, BLOCKCIPHERPARAM b),
        ("SKF_EncryptInit", a, b))
FORWARD(SKF_Encrypt, (HANDLE a, BYTE* b, ULONG c, BYTE* d, ULONG* e),
        ("SKF_Encrypt", a, b, c, d, e))
FORWARD(SKF_EncryptUpdate, (HANDLE a, BYTE* b, ULONG c, BYTE* d, ULONG* e),
        ("SKF_EncryptUpdate", a, b, c, d, e))
FORWARD(SKF_EncryptFinal, (HANDLE a, BYTE* b, ULONG* c),
        ("SKF_EncryptFinal", a, b, c))
FORWARD(SKF_DecryptInit, (HANDLE a, BLOCKCIPHERPARAM b),
        ("SKF_DecryptInit", a, b))
FORWARD(SKF_Decrypt, (HANDLE a, BYTE* b, ULONG c, BYTE* d, ULONG* e),
        ("SKF_Decrypt", a, b, c, d, e))
FORWARD(SKF_DecryptUpdate, (HANDLE a, BYTE* b, ULONG c, BYTE* d, ULONG* e),
        ("SKF_DecryptUpdate", a, b, c, d, e))
FORWARD(SKF_DecryptFinal, (HANDLE a, BYTE* b, ULONG* c),
        ("SKF_DecryptFinal", a, b, c))
FORWARD(SKF_DigestInit,
        (DEVHANDLE a, ULONG b, ECCPUBLICKEYBLOB* c, unsigned char* d, ULONG e,
         HANDLE* f),
        ("SKF_DigestInit", a, b, c, d, e, f))
FORWARD(SKF_Digest, (HANDLE a, BYTE* b, ULONG c, BYTE* d, ULONG* e),
        ("SKF_Digest", a, b, c, d, e))
FORWARD(SKF_DigestUpdate, (HANDLE a, BYTE* b, ULONG c),
        ("SKF_DigestUpdate", a, b, c))
#ifndef SKFSHIM_OMIT_DIGEST_FINAL
FORWARD(SKF_DigestFinal, (HANDLE a, BYTE* b, ULONG* c),
        ("SKF_DigestFinal", a, b, c))
#endif

}  // extern "C"
