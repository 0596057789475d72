#include "driver.h"

#include <openssl/err.h>

#include <cstring>
#include <vector>

#include "KXLog.h"

namespace skfsoft {

ULONG Fail(const char* function, int line, ULONG code, const char* why) {
  // What libcrypto queued on the way is ours, not the caller's.
  ERR_clear_error();
  KXLog(KX_LOG_WARN, function, line, "%s==>%08x -- %s", function,
        static_cast<unsigned>(code), why);
  return code;
}

ULONG Deliver(const void* data, size_t length, void* out, ULONG* outLen) {
  if (length > 0xFFFFFFFFu) return SAR_INDATALENERR;
  const ULONG needed = static_cast<ULONG>(length);
  if (out == nullptr) {
    *outLen = needed;
    return SAR_OK;
  }
  if (*outLen < needed) {
    *outLen = needed;
    return SAR_BUFFER_TOO_SMALL;
  }
  if (needed != 0) std::memcpy(out, data, needed);
  *outLen = needed;
  return SAR_OK;
}

std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    list += name;
    list.push_back('\0');
  }
  list.push_back('\0');
  return list;
}

ULONG TakeName(const char* text, size_t maxLength, std::string* name) {
  if (text == nullptr) return SAR_INVALIDPARAMERR;
  const size_t length = strnlen(text, maxLength + 1);
  if (length > maxLength) return SAR_NAMELENERR;
  std::string candidate(text, length);
  if (!ValidName(candidate, maxLength)) return SAR_INVALIDPARAMERR;
  *name = std::move(candidate);
  return SAR_OK;
}

HANDLE Registry::Add(std::shared_ptr<Object> object, HANDLE parent) {
  std::lock_guard<std::mutex> hold(mutex_);
  const uintptr_t id = next_++;
  entries_[id] = Entry{std::move(object), reinterpret_cast<uintptr_t>(parent)};
  return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<Object> Registry::Find(HANDLE handle, Kind kind) const {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == entries_.end() || it->second.object->kind != kind) return nullptr;
  return it->second.object;
}

bool Registry::Remove(HANDLE handle, Kind kind) {
  // The objects are released after the lock: their destructors may be long.
  std::vector<std::shared_ptr<Object>> closed;
  std::lock_guard<std::mutex> hold(mutex_);
  const uintptr_t id = reinterpret_cast<uintptr_t>(handle);
  auto it = entries_.find(id);
  if (it == entries_.end() || it->second.object->kind != kind) return false;
  std::vector<uintptr_t> gone = {id};
  // Children first by their parents: devices hold applications and digests,
  // applications hold containers.
  for (size_t i = 0; i < gone.size(); ++i)
    for (const auto& [child, entry] : entries_)
      if (entry.parent == gone[i]) gone.push_back(child);
  for (uintptr_t each : gone) {
    auto found = entries_.find(each);
    if (found == entries_.end()) continue;
    closed.push_back(std::move(found->second.object));
    entries_.erase(found);
  }
  return true;
}

Registry& Handles() {
  static Registry registry;
  return registry;
}

ULONG OpenDeviceFolder(const Device& device, Fd* dir) {
  Fd opened = OpenFolder(device.root, {device.name}, false);
  if (!opened.valid() || !IsFileAt(opened.get(), kDeviceIni))
    return SAR_DEVICE_REMOVED;
  *dir = std::move(opened);
  return SAR_OK;
}

ULONG OpenApplicationFolder(const Application& app, Fd* dir) {
  Fd device;
  ULONG rc = OpenDeviceFolder(*app.device, &device);
  if (rc != SAR_OK) return rc;
  Fd opened = OpenFolder(app.device->root, {app.device->name, app.name}, false);
  if (!opened.valid() || !IsFileAt(opened.get(), kAppIni))
    return SAR_APPLICATION_NOT_EXISTS;
  *dir = std::move(opened);
  return SAR_OK;
}

ULONG OpenContainerFolder(const Container& container, Fd* dir) {
  Fd app;
  ULONG rc = OpenApplicationFolder(*container.application, &app);
  if (rc != SAR_OK) return rc;
  const Device& device = *container.application->device;
  Fd opened = OpenFolder(device.root,
                         {device.name, container.application->name,
                          kContainersFolder, container.name},
                         false);
  if (!opened.valid()) return SAR_FILE_NOT_EXIST;
  *dir = std::move(opened);
  return SAR_OK;
}

ULONG LockDevice(const Device& device, DeviceLock* lock) {
  Fd dir;
  ULONG rc = OpenDeviceFolder(device, &dir);
  if (rc != SAR_OK) return rc;
  return lock->Acquire(dir.get()) ? SAR_OK : SAR_WRITEFILEERR;
}

ULONG RequireUser(const Application& app) {
  return app.user.load() ? SAR_OK : SAR_USER_NOT_LOGGED_IN;
}

}  // namespace skfsoft
