// Calls into the SKF driver bound in funcList, and the owning handles and
// list reading the device walks share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KXLog.h"
#include "SKF.h"
#include "SealDevice.h"
#include "fail.h"

namespace kx::skf {

// Slot numbers of the bound functions, in binding order.
#define SKF_TABLE_SLOT_LIST(X)                                                 \
  X(SKF_EnumDev, 3)                                                            \
  X(SKF_ConnectDev, 4)                                                         \
  X(SKF_DisConnectDev, 5) X(SKF_GetDevInfo, 8) X(SKF_VerifyPIN, 16) X(         \
      SKF_EnumApplication, 20) X(SKF_OpenApplication,                          \
                                 22) X(SKF_CloseApplication, 23)               \
      X(SKF_CreateFile, 24) X(SKF_DeleteFile, 25) X(SKF_EnumFiles, 26) X(      \
          SKF_GetFileInfo, 27) X(SKF_ReadFile, 28) X(SKF_WriteFile, 29)        \
          X(SKF_CreateContainer, 30) X(SKF_DeleteContainer, 31) X(             \
              SKF_EnumContainer, 32) X(SKF_OpenContainer, 33)                  \
              X(SKF_CloseContainer, 34) X(SKF_GetContainerType, 35) X(         \
                  SKF_ImportCertificate, 36) X(SKF_ExportCertificate, 37)      \
                  X(SKF_GenRandom, 38) X(SKF_GenRSAKeyPair, 40) X(             \
                      SKF_ImportRSAKeyPair, 41) X(SKF_RSASignData, 42)         \
                      X(SKF_RSAVerify, 43) X(SKF_GenECCKeyPair, 47) X(         \
                          SKF_ImportECCKeyPair, 48) X(SKF_ECCSignData, 49)     \
                          X(SKF_ECCVerify, 50) X(SKF_ExportPublicKey, 59) X(   \
                              SKF_ImportSessionKey,                            \
                              60) X(SKF_SetSymmKey, 61) X(SKF_EncryptInit, 62) \
                              X(SKF_Encrypt, 63) X(SKF_EncryptUpdate, 64) X(   \
                                  SKF_EncryptFinal, 65) X(SKF_DecryptInit, 66) \
                                  X(SKF_Decrypt, 67) X(SKF_DecryptUpdate, 68)  \
                                      X(SKF_DecryptFinal, 69)                  \
                                          X(SKF_DigestInit, 70)                \
                                              X(SKF_Digest, 71)                \
                                                  X(SKF_DigestUpdate, 72)      \
                                                      X(SKF_DigestFinal, 73)

enum Slot : int {
#define SKF_SLOT_ENUM(name, slot) kSlot_##name = slot,
  SKF_TABLE_SLOT_LIST(SKF_SLOT_ENUM)
#undef SKF_SLOT_ENUM
};

// The handle in slot 0, read with acquire order: the loader stores it last,
// after every function slot, so a non-null handle means a complete table.
inline void* BoundHandle() {
  return __atomic_load_n(&funcList[0], __ATOMIC_ACQUIRE);
}

// Calls the function of `slot`. An unbound table or an empty slot answers
// "not initialised" instead of jumping through a null pointer.
template <class Fn, class... Args>
ULONG Call(int slot, Args... args) {
  if (BoundHandle() == nullptr || funcList[slot] == nullptr)
    return SAR_NOTINITIALIZEERR;
  return reinterpret_cast<Fn>(funcList[slot])(args...);
}

#define SKF_CALL(name, ...) \
  ::kx::skf::Call<PFN_##name>(::kx::skf::kSlot_##name, __VA_ARGS__)

// Names of a driver list (devices, containers, files): NUL-terminated names
// ended by an empty one. Only the `length` bytes the driver answered are
// read, so a list that lacks its terminators ends at that length.
std::vector<std::string> SplitNameList(const std::vector<char>& buffer,
                                       ULONG length);

// Owning handles: each closes what it holds when it goes.
class Device {
 public:
  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() { Close(); }
  HANDLE* Out() { return &handle_; }
  DEVHANDLE get() const { return handle_; }
  void Close() {
    if (handle_ != nullptr) SKF_CALL(SKF_DisConnectDev, handle_);
    handle_ = nullptr;
  }

 private:
  DEVHANDLE handle_ = nullptr;
};

class Application {
 public:
  Application() = default;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  ~Application() { Close(); }
  HANDLE* Out() { return &handle_; }
  HAPPLICATION get() const { return handle_; }
  void Close() {
    if (handle_ != nullptr) SKF_CALL(SKF_CloseApplication, handle_);
    handle_ = nullptr;
  }

 private:
  HAPPLICATION handle_ = nullptr;
};

class Container {
 public:
  Container() = default;
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;
  ~Container() { Close(); }
  HANDLE* Out() { return &handle_; }
  HCONTAINER get() const { return handle_; }
  // Closes the container; the handle value stays readable as a marker.
  HCONTAINER CloseKeepingValue() {
    HCONTAINER value = handle_;
    Close();
    return value;
  }
  void Close() {
    if (handle_ != nullptr) SKF_CALL(SKF_CloseContainer, handle_);
    handle_ = nullptr;
  }

 private:
  HCONTAINER handle_ = nullptr;
};

// A list read in the driver's two calls: the length query with a null
// buffer, then the list. `read` is called as read(buffer, &size).
struct ListResult {
  ULONG sizeCode = SAR_OK;  // driver code of the length query
  ULONG readCode = SAR_OK;  // driver code of the read
  std::vector<std::string> names;
  ULONG length = 0;  // bytes the driver answered
};

template <class Read>
ListResult ReadList(Read read) {
  ListResult result;
  ULONG size = 0;
  result.sizeCode = read(static_cast<char*>(nullptr), &size);
  if (result.sizeCode != SAR_OK) return result;
  std::vector<char> buffer(size + 2, '\0');
  ULONG length = size;
  result.readCode = read(buffer.data(), &length);
  if (result.readCode != SAR_OK) return result;
  result.length = length < size ? length : size;
  result.names = SplitNameList(buffer, result.length);
  return result;
}

// A certificate of a container: length query, then the bytes. False when
// either call fails; `code` holds the driver's last code.
bool ExportCertificate(HCONTAINER container, bool sign,
                       std::vector<unsigned char>* cert, ULONG* code);

// Key serial text of a device: "Korvex Dunmark " and the first 8 serial
// bytes in hex when the issuer is "Dunmark", else manufacturer, a blank and
// the serial number text.
std::string KeySerialText(const DEVINFO& info);

}  // namespace kx::skf

// The failure of a device export that an exception ended.
#define DEVICE_EXPORT_FAILURE(name)                                      \
  kx::ExportFailure {                                                    \
    name, name "==>%d -- memory error", name "==>%d -- unexpected error" \
  }
