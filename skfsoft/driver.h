// Inside libskfsoft.so: the handles, the export guard, the output-buffer rule
// and the folders of devices, applications and containers.
#pragma once

// The driver exports the functions of SKF.h and nothing else.
#define SKF_API __attribute__((visibility("default")))
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "SKF.h"
#include "folder.h"
#include "foundation/export_boundary.h"

namespace skfsoft {

// Writes the one line of a failure (level WARN: the caller decides whether
// it is an error) and returns the code:
//   "SKF_OpenContainer==>0a000031 -- no such container"
ULONG Fail(const char* function, int line, ULONG code, const char* why);
#define SKFSOFT_FAIL(code, why) ::skfsoft::Fail(fn, __LINE__, (code), (why))

// Runs the work of an export: an exception ends it with SAR_MEMORYERR
// (std::bad_alloc) or SAR_FAIL and one log line. The body takes the
// function's name, which SKFSOFT_FAIL reads as `fn`:
//   return Export("SKF_X", [&](const char* fn) -> ULONG { ... });
template <class Body>
ULONG Export(const char* function, Body&& body, int line = __builtin_LINE()) {
  const kx::ExportFailure failure{function,
                                  "%08x -- out of memory",
                                  "%08x -- unexpected failure",
                                  static_cast<int>(SAR_MEMORYERR),
                                  static_cast<int>(SAR_FAIL),
                                  false};
  return kx::GuardCode(
      failure, [&]() -> ULONG { return body(function); }, line);
}

// The output-buffer rule: a null `out` asks for the length (stored, SAR_OK);
// a capacity *outLen below `length` gives SAR_BUFFER_TOO_SMALL with the
// needed length stored and the buffer untouched; otherwise the bytes are
// copied and their length stored. `outLen` must not be null.
ULONG Deliver(const void* data, size_t length, void* out, ULONG* outLen);

// A name list: each name NUL-terminated, then one more NUL.
std::string NameList(const std::vector<std::string>& names);

// A NUL-terminated name from the caller, read no further than maxLength + 1
// bytes. SAR_INVALIDPARAMERR for a null or unusable name, SAR_NAMELENERR for
// one that is too long.
ULONG TakeName(const char* text, size_t maxLength, std::string* name);

// ---------------------------------------------------------------------------
// Handles. The value handed out is a number that is never used twice, not an
// address: a stale or foreign handle finds nothing in the registry and gives
// SAR_INVALIDHANDLEERR.

enum class Kind { kDevice, kApplication, kContainer, kHash };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

struct Device : Object {
  static constexpr Kind kKind = Kind::kDevice;
  Device() : Object(kKind) {}
  std::string root;  // $SKFSOFT_DIR when the device was connected
  std::string name;
};

struct Application : Object {
  static constexpr Kind kKind = Kind::kApplication;
  Application() : Object(kKind) {}
  std::shared_ptr<Device> device;
  std::string name;
  // PINs verified through this handle.
  std::atomic<bool> user{false};
  std::atomic<bool> admin{false};
};

struct Container : Object {
  static constexpr Kind kKind = Kind::kContainer;
  Container() : Object(kKind) {}
  std::shared_ptr<Application> application;
  std::string name;
};

class Registry {
 public:
  // A new handle for `object`, closed with `parent` (0: none).
  HANDLE Add(std::shared_ptr<Object> object, HANDLE parent);
  // The object of a live handle of that kind; null otherwise.
  template <class T>
  std::shared_ptr<T> Get(HANDLE handle) const {
    std::shared_ptr<Object> object = Find(handle, T::kKind);
    return std::static_pointer_cast<T>(object);
  }
  // Closes the handle and every handle opened under it; false when it is not
  // a live handle of that kind.
  bool Remove(HANDLE handle, Kind kind);

 private:
  struct Entry {
    std::shared_ptr<Object> object;
    uintptr_t parent;
  };
  std::shared_ptr<Object> Find(HANDLE handle, Kind kind) const;

  mutable std::mutex mutex_;
  std::unordered_map<uintptr_t, Entry> entries_;
  uintptr_t next_ = 0x5F000001;
};

Registry& Handles();

// ---------------------------------------------------------------------------
// Folders of open objects, checked on every use: SAR_DEVICE_REMOVED when the
// device's description is gone, SAR_APPLICATION_NOT_EXISTS for the
// application, SAR_FILE_NOT_EXIST for a container.

ULONG OpenDeviceFolder(const Device& device, Fd* dir);
ULONG OpenApplicationFolder(const Application& app, Fd* dir);
ULONG OpenContainerFolder(const Container& container, Fd* dir);
// The device lock for a write (SAR_WRITEFILEERR when it cannot be taken).
ULONG LockDevice(const Device& device, DeviceLock* lock);
// 04 || X || Y of an ECC public-key blob of a 256-bit key, false for any
// other; whether the point is on the curve is left to its user.
bool EccBlobPoint(const ECCPUBLICKEYBLOB& blob, unsigned char pub[65]);
// SAR_USER_NOT_LOGGED_IN unless the user PIN was verified on `app`.
ULONG RequireUser(const Application& app);

}  // namespace skfsoft
