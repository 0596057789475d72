#include "store.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "folder.h"

namespace skfsoft {
namespace {

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

bool FailErrno(std::string* error, const std::string& what) {
  return Fail(error, what + ": " + std::strerror(errno));
}

bool CheckName(const std::string& kind, const std::string& name,
               size_t maxLength, std::string* error) {
  if (ValidName(name, maxLength)) return true;
  return Fail(error, kind + " name '" + name + "' is not valid (1 to " +
                         std::to_string(maxLength) +
                         " bytes, no '/' or control character, not starting "
                         "with '.')");
}

// A value of an INI line: no line break or other control character, and no
// blank at either end (the reader trims those).
bool CheckValue(const std::string& what, const std::string& value,
                size_t maxLength, std::string* error) {
  if (value.size() > maxLength)
    return Fail(error, what + " is longer than " + std::to_string(maxLength) +
                           " bytes");
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7F)
      return Fail(error, what + " holds a control character");
  if (!value.empty() && (value.front() == ' ' || value.back() == ' '))
    return Fail(error, what + " begins or ends with a blank");
  return true;
}

bool Printable(const std::string& bytes) {
  for (unsigned char c : bytes)
    if (c < 0x20 || c > 0x7E) return false;
  return !bytes.empty() && bytes.front() != ' ' && bytes.back() != ' ';
}

// The folder of an existing application, and the lock of its device.
bool OpenApplication(const std::string& root, const std::string& device,
                     const std::string& app, DeviceLock* lock, Fd* appDir,
                     std::string* error) {
  if (!CheckName("device", device, kMaxNameLength, error) ||
      !CheckName("application", app, kMaxNameLength, error))
    return false;
  if (!DeviceExists(root, device))
    return Fail(error, "no device '" + device + "' in " + root);
  Fd deviceDir = OpenFolder(root, {device}, false);
  if (!deviceDir.valid() || !lock->Acquire(deviceDir.get()))
    return FailErrno(error, "cannot lock device '" + device + "'");
  *appDir = OpenFolder(root, {device, app}, false);
  if (!appDir->valid() || !IsFileAt(appDir->get(), kAppIni))
    return Fail(error,
                "no application '" + app + "' on device '" + device + "'");
  return true;
}

}  // namespace

bool DeviceExists(const std::string& root, const std::string& device) {
  if (!ValidName(device, kMaxNameLength)) return false;
  Fd dir = OpenFolder(root, {device}, false);
  return dir.valid() && IsFileAt(dir.get(), kDeviceIni);
}

bool CreateDevice(const std::string& root, const std::string& device,
                  const std::string& manufacturer, const std::string& issuer,
                  const std::string& label, const std::string& serial,
                  std::string* error) {
  if (!CheckName("device", device, kMaxNameLength, error) ||
      !CheckValue("the manufacturer", manufacturer, 63, error) ||
      !CheckValue("the issuer", issuer, 63, error) ||
      !CheckValue("the label", label, 31, error))
    return false;
  if (serial.size() > 32)
    return Fail(error, "the serial number is longer than 32 bytes");
  Fd dir = OpenFolder(root, {device}, true);
  DeviceLock lock;
  if (!dir.valid() || !lock.Acquire(dir.get()))
    return FailErrno(error,
                     "cannot make device folder '" + device + "' in " + root);
  // The driver keeps a NUL after text fields, so a text serial has 31 bytes
  // at most; the hex form fills all 32.
  std::string text = "[Device]\nManufacturer=" + manufacturer +
                     "\nIssuer=" + issuer + "\nLabel=" + label + "\n";
  if (Printable(serial) && serial.size() <= 31)
    text += "SerialNumber=" + serial + "\n";
  else
    text += "SerialNumberHex=" + EncodeHex(serial) + "\n";
  if (!WriteFileAtomic(lock, dir.get(), kDeviceIni, text))
    return FailErrno(error,
                     "cannot write " + root + "/" + device + "/" + kDeviceIni);
  return true;
}

bool CreateApplication(const std::string& root, const std::string& device,
                       const std::string& app, const std::string& userPin,
                       const std::string& adminPin, unsigned maxRetries,
                       std::string* error) {
  if (!CheckName("device", device, kMaxNameLength, error) ||
      !CheckName("application", app, kMaxNameLength, error) ||
      !CheckValue("the user PIN", userPin, 64, error) ||
      !CheckValue("the admin PIN", adminPin, 64, error))
    return false;
  if (userPin.empty() || adminPin.empty())
    return Fail(error, "a PIN must not be empty");
  if (maxRetries == 0 || maxRetries > 255)
    return Fail(error, "the retry count must be 1 to 255");
  if (!DeviceExists(root, device))
    return Fail(error, "no device '" + device + "' in " + root);
  Fd deviceDir = OpenFolder(root, {device}, false);
  DeviceLock lock;
  if (!deviceDir.valid() || !lock.Acquire(deviceDir.get()))
    return FailErrno(error, "cannot lock device '" + device + "'");
  Fd appDir = OpenFolder(root, {device, app}, true);
  Fd files = OpenFolder(root, {device, app, kFilesFolder}, true);
  Fd containers = OpenFolder(root, {device, app, kContainersFolder}, true);
  if (!appDir.valid() || !files.valid() || !containers.valid())
    return FailErrno(error, "cannot make application folder '" + app + "'");
  const std::string retries = std::to_string(maxRetries);
  const std::string text = "UserPin=" + userPin + "\nAdminPin=" + adminPin +
                           "\nMaxRetries=" + retries +
                           "\nUserRetries=" + retries +
                           "\nAdminRetries=" + retries + "\n";
  if (!WriteFileAtomic(lock, appDir.get(), kAppIni, text))
    return FailErrno(error, "cannot write " + app + "/" + kAppIni);
  return true;
}

bool PutContainer(const std::string& root, const std::string& device,
                  const std::string& app, const std::string& container,
                  int type, const std::string& signCertDer,
                  const std::string& signKeyPem, const std::string& encCertDer,
                  const std::string& encKeyPem, std::string* error) {
  if (!CheckName("container", container, kMaxNameLength, error)) return false;
  if (type < kTypeFromKey || type > kTypeSm2)
    return Fail(error,
                "container type " + std::to_string(type) + " is not 0, 1 or 2");
  DeviceLock lock;
  Fd appDir;
  if (!OpenApplication(root, device, app, &lock, &appDir, error)) return false;
  Fd containers = OpenFolder(root, {device, app, kContainersFolder}, true);
  std::string staged;
  if (!containers.valid() ||
      !MakeStagingFolder(lock, containers.get(), &staged))
    return FailErrno(error, "cannot make container '" + container + "'");
  Fd stagedDir =
      OpenFolder(root, {device, app, kContainersFolder, staged}, false);
  std::vector<std::pair<const char*, std::string>> parts = {
      {kSignCert, signCertDer},
      {kSignKey, signKeyPem},
      {kEncCert, encCertDer},
      {kEncKey, encKeyPem}};
  if (type != kTypeFromKey)
    parts.emplace_back(kContainerIni, "Type=" + std::to_string(type) + "\n");
  bool ok = stagedDir.valid();
  for (const auto& [name, bytes] : parts)
    if (ok && !bytes.empty())
      ok = WriteFileAtomic(lock, stagedDir.get(), name, bytes);
  // Until the exchange the container reads as it was; a failure leaves the
  // staged folder to the next writer's sweep.
  if (!ok || !ReplaceFolderAt(lock, containers.get(), staged, container))
    return FailErrno(error, "cannot write container '" + container + "'");
  return true;
}

bool PutFile(const std::string& root, const std::string& device,
             const std::string& app, const std::string& name,
             const std::string& bytes, std::string* error) {
  if (!CheckName("file", name, kMaxFileNameLength, error)) return false;
  if (bytes.size() > kMaxFileSize)
    return Fail(error, "file '" + name + "' is larger than " +
                           std::to_string(kMaxFileSize) + " bytes");
  DeviceLock lock;
  Fd appDir;
  if (!OpenApplication(root, device, app, &lock, &appDir, error)) return false;
  Fd files = OpenFolder(root, {device, app, kFilesFolder}, true);
  if (!files.valid() || !WriteFileAtomic(lock, files.get(), name, bytes))
    return FailErrno(error, "cannot write file '" + name + "'");
  return true;
}

}  // namespace skfsoft
