// Devices, PINs, applications, files and containers of the software key
// device, and its random numbers.
#include <fcntl.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "crypto/openssl_ptr.h"
#include "driver.h"

using skfsoft::Application;
using skfsoft::Container;
using skfsoft::Deliver;
using skfsoft::Device;
using skfsoft::DeviceLock;
using skfsoft::Export;
using skfsoft::Fd;
using skfsoft::Handles;
using skfsoft::IniText;
using skfsoft::Kind;
using skfsoft::ReadStatus;
using skfsoft::TakeName;

namespace {

// The folder of the devices; read at every enumeration and connection, so a
// program may point the driver elsewhere between two of them.
const char kRootVariable[] = "SKFSOFT_DIR";
// PINs longer than this are refused before anything is read.
const size_t kMaxPinLength = 64;
// Certificates the driver stores.
const size_t kMaxCertificateLength = 64 * 1024;

std::string RootFolder() {
  const char* root = std::getenv(kRootVariable);
  return root == nullptr ? std::string() : std::string(root);
}

// A text field of DEVINFO: NUL-padded, at most size - 1 bytes so that it
// always ends with a NUL.
void CopyText(char* field, size_t size, const std::string& value) {
  std::memset(field, 0, size);
  std::memcpy(field, value.data(), std::min(value.size(), size - 1));
}

ULONG ClampSpace(unsigned long long bytes) {
  return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(bytes);
}

// A subfolder of an open application: `files` or `containers`. A missing
// folder reads as empty: with `create` it is made, otherwise *dir stays
// invalid and the result is SAR_OK.
ULONG OpenPart(const Application& app, const char* part, bool create, Fd* dir) {
  Fd appDir;
  ULONG rc = skfsoft::OpenApplicationFolder(app, &appDir);
  if (rc != SAR_OK) return rc;
  *dir = skfsoft::OpenFolder(app.device->root,
                             {app.device->name, app.name, part}, create);
  if (!dir->valid() && (create || skfsoft::IsFolderAt(appDir.get(), part)))
    return create ? SAR_WRITEFILEERR : SAR_READFILEERR;
  return SAR_OK;
}

// Compares two PINs in time that depends only on their lengths.
bool SamePin(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Devices

ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize) {
  return Export("SKF_EnumDev", [&](const char* fn) -> ULONG {
    if (pulSize == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    // Present and supported devices are the same: every device folder.
    std::vector<std::string> names;
    Fd root = skfsoft::OpenFolder(RootFolder(), {}, false);
    if (root.valid())
      names = skfsoft::ListFolders(root.get(), skfsoft::kDeviceIni);
    const std::string list = skfsoft::NameList(names);
    ULONG rc = Deliver(list.data(), list.size(), szNameList, pulSize);
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "device list buffer too small");
  });
}

ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
  return Export("SKF_ConnectDev", [&](const char* fn) -> ULONG {
    std::string name;
    ULONG rc = TakeName(szName, skfsoft::kMaxNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad device name");
    if (phDev == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no handle pointer");
    auto device = std::make_shared<Device>();
    device->root = RootFolder();
    device->name = name;
    if (device->root.empty())
      return SKFSOFT_FAIL(SAR_DEVICE_REMOVED, "SKFSOFT_DIR is not set");
    Fd dir;
    if (skfsoft::OpenDeviceFolder(*device, &dir) != SAR_OK)
      return SKFSOFT_FAIL(SAR_DEVICE_REMOVED, "no such device");
    *phDev = Handles().Add(device, nullptr);
    return SAR_OK;
  });
}

ULONG SKF_DisConnectDev(DEVHANDLE hDev) {
  return Export("SKF_DisConnectDev", [&](const char* fn) -> ULONG {
    if (!Handles().Remove(hDev, Kind::kDevice))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    return SAR_OK;
  });
}

ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
  return Export("SKF_GetDevInfo", [&](const char* fn) -> ULONG {
    auto device = Handles().Get<Device>(hDev);
    if (!device)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (pDevInfo == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no DEVINFO pointer");
    Fd dir;
    ULONG rc = skfsoft::OpenDeviceFolder(*device, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "device folder is gone");
    std::string text;
    if (skfsoft::ReadFileAt(dir.get(), skfsoft::kDeviceIni, &text) !=
        ReadStatus::kOk)
      return SKFSOFT_FAIL(SAR_READFILEERR, "cannot read device.ini");
    const IniText ini(text);
    std::string serial = ini.Get("SerialNumber");
    const bool binarySerial = ini.Has("SerialNumberHex");
    if (binarySerial &&
        !skfsoft::DecodeHex(ini.Get("SerialNumberHex"), &serial))
      return SKFSOFT_FAIL(SAR_FILEERR, "SerialNumberHex is not hex");
    DEVINFO info;
    std::memset(&info, 0, sizeof info);
    info.Version = {1, 0};
    CopyText(info.Manufacturer, sizeof info.Manufacturer,
             ini.Get("Manufacturer"));
    CopyText(info.Issuer, sizeof info.Issuer, ini.Get("Issuer"));
    CopyText(info.Label, sizeof info.Label, ini.Get("Label"));
    if (binarySerial)
      std::memcpy(info.SerialNumber, serial.data(),
                  std::min(serial.size(), sizeof info.SerialNumber));
    else
      CopyText(info.SerialNumber, sizeof info.SerialNumber, serial);
    info.HWVersion = {1, 0};
    info.FirmwareVersion = {1, 0};
    // SM4-ECB only opens enveloped key pairs; session keys are not offered.
    info.AlgSymCap = SGD_SM4_ECB;
    info.AlgAsymCap = SGD_RSA | SGD_SM2_1;
    info.AlgHashCap = SGD_SM3 | SGD_SHA1 | SGD_SHA256;
    info.DevAuthAlgId = 0;
    struct statvfs fs = {};
    if (fstatvfs(dir.get(), &fs) == 0) {
      info.TotalSpace = ClampSpace(1ull * fs.f_blocks * fs.f_frsize);
      info.FreeSpace = ClampSpace(1ull * fs.f_bavail * fs.f_frsize);
    }
    info.MaxECCBufferSize = static_cast<ULONG>(skfsoft::kMaxFileSize);
    info.MaxBufferSize = static_cast<ULONG>(skfsoft::kMaxFileSize);
    *pDevInfo = info;
    return SAR_OK;
  });
}

ULONG SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen) {
  return Export("SKF_GenRandom", [&](const char* fn) -> ULONG {
    if (!Handles().Get<Device>(hDev))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (pbRandom == nullptr && ulRandomLen != 0)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no output buffer");
    if (ulRandomLen > static_cast<ULONG>(INT_MAX))
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "length too large");
    if (ulRandomLen != 0 &&
        RAND_bytes(pbRandom, static_cast<int>(ulRandomLen)) != 1)
      return SKFSOFT_FAIL(SAR_GENRANDERR, "RAND_bytes failed");
    return SAR_OK;
  });
}

// ---------------------------------------------------------------------------
// Applications and PINs

ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) {
  return Export("SKF_EnumApplication", [&](const char* fn) -> ULONG {
    auto device = Handles().Get<Device>(hDev);
    if (!device)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (pulSize == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    Fd dir;
    ULONG rc = skfsoft::OpenDeviceFolder(*device, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "device folder is gone");
    const std::string list =
        skfsoft::NameList(skfsoft::ListFolders(dir.get(), skfsoft::kAppIni));
    rc = Deliver(list.data(), list.size(), szAppName, pulSize);
    return rc == SAR_OK ? rc
                        : SKFSOFT_FAIL(rc, "application list buffer too small");
  });
}

ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName,
                          HAPPLICATION* phApplication) {
  return Export("SKF_OpenApplication", [&](const char* fn) -> ULONG {
    auto device = Handles().Get<Device>(hDev);
    if (!device)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (szAppName == nullptr || phApplication == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    auto app = std::make_shared<Application>();
    if (TakeName(szAppName, skfsoft::kMaxNameLength, &app->name) != SAR_OK)
      return SKFSOFT_FAIL(SAR_APPLICATION_NAME_INVALID, "bad application name");
    app->device = device;
    Fd dir;
    ULONG rc = skfsoft::OpenApplicationFolder(*app, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no such application");
    *phApplication = Handles().Add(app, hDev);
    return SAR_OK;
  });
}

ULONG SKF_CloseApplication(HAPPLICATION hApplication) {
  return Export("SKF_CloseApplication", [&](const char* fn) -> ULONG {
    if (!Handles().Remove(hApplication, Kind::kApplication))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    return SAR_OK;
  });
}

// The retry counter lives in app.ini and is read, changed and written under
// the device lock, so that processes sharing the device count every attempt.
ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                    ULONG* pulRetryCount) {
  return Export("SKF_VerifyPIN", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    if (szPIN == nullptr || pulRetryCount == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    if (ulPINType != USER_TYPE && ulPINType != ADMIN_TYPE)
      return SKFSOFT_FAIL(SAR_USER_TYPE_INVALID, "PIN type not user or admin");
    const size_t pinLength = strnlen(szPIN, kMaxPinLength + 1);
    if (pinLength == 0 || pinLength > kMaxPinLength)
      return SKFSOFT_FAIL(SAR_PIN_LEN_RANGE, "PIN length out of range");
    const std::string pin(szPIN, pinLength);
    const bool user = ulPINType == USER_TYPE;
    const std::string pinKey = user ? "UserPin" : "AdminPin";
    const std::string retriesKey = user ? "UserRetries" : "AdminRetries";

    DeviceLock lock;
    ULONG rc = skfsoft::LockDevice(*app->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd dir;
    rc = skfsoft::OpenApplicationFolder(*app, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "application folder is gone");
    std::string text;
    if (skfsoft::ReadFileAt(dir.get(), skfsoft::kAppIni, &text) !=
        ReadStatus::kOk)
      return SKFSOFT_FAIL(SAR_READFILEERR, "cannot read app.ini");
    IniText ini(text);
    const std::string stored = ini.Get(pinKey);
    if (stored.empty())
      return SKFSOFT_FAIL(SAR_USER_PIN_NOT_INITIALIZED, "no PIN in app.ini");
    unsigned long maxRetries =
        ini.GetNumber("MaxRetries", skfsoft::kDefaultMaxRetries);
    if (maxRetries == 0) maxRetries = skfsoft::kDefaultMaxRetries;
    const unsigned long remaining =
        std::min(ini.GetNumber(retriesKey, maxRetries), maxRetries);
    if (remaining == 0) {
      *pulRetryCount = 0;
      return SKFSOFT_FAIL(SAR_PIN_LOCKED, "PIN is locked");
    }
    const bool correct = SamePin(pin, stored);
    const unsigned long next = correct ? maxRetries : remaining - 1;
    // The attempt counts before it is answered: a counter that cannot be
    // written gives no answer about the PIN.
    if (next != remaining) {
      ini.Set(retriesKey, std::to_string(next));
      if (!skfsoft::WriteFileAtomic(lock, dir.get(), skfsoft::kAppIni,
                                    ini.text()))
        return SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot write app.ini");
    }
    *pulRetryCount = static_cast<ULONG>(next);
    if (!correct)
      return next == 0 ? SKFSOFT_FAIL(SAR_PIN_LOCKED, "wrong PIN, now locked")
                       : SKFSOFT_FAIL(SAR_PIN_INCORRECT, "wrong PIN");
    (user ? app->user : app->admin).store(true);
    return SAR_OK;
  });
}

// ---------------------------------------------------------------------------
// Files. Access rights are not kept: every file may be read and written by
// anyone who opened the application; a file's size is fixed when it is
// created.

ULONG SKF_CreateFile(HAPPLICATION hApplication, LPSTR szFileName,
                     ULONG ulFileSize, ULONG ulReadRights,
                     ULONG ulWriteRights) {
  return Export("SKF_CreateFile", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    std::string name;
    ULONG rc = TakeName(szFileName, skfsoft::kMaxFileNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad file name");
    if (ulFileSize > skfsoft::kMaxFileSize)
      return SKFSOFT_FAIL(SAR_NO_ROOM, "file larger than the device takes");
    DeviceLock lock;
    rc = skfsoft::LockDevice(*app->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd files;
    rc = OpenPart(*app, skfsoft::kFilesFolder, true, &files);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot open the files folder");
    size_t size = 0;
    if (skfsoft::FileSizeAt(files.get(), name, &size) != ReadStatus::kMissing)
      return SKFSOFT_FAIL(SAR_FILE_ALREADY_EXIST, "file exists");
    if (!skfsoft::WriteFileAtomic(lock, files.get(), name,
                                  std::string(ulFileSize, '\0')))
      return SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot write the file");
    return SAR_OK;
  });
}

ULONG SKF_DeleteFile(HAPPLICATION hApplication, LPSTR szFileName) {
  return Export("SKF_DeleteFile", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    std::string name;
    ULONG rc = TakeName(szFileName, skfsoft::kMaxFileNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad file name");
    DeviceLock lock;
    rc = skfsoft::LockDevice(*app->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd files;
    rc = OpenPart(*app, skfsoft::kFilesFolder, false, &files);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot open the files folder");
    if (!files.valid() || !skfsoft::IsFileAt(files.get(), name))
      return SKFSOFT_FAIL(SAR_FILE_NOT_EXIST, "no such file");
    if (!skfsoft::RemoveFileAt(lock, files.get(), name))
      return SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot remove the file");
    return SAR_OK;
  });
}

ULONG SKF_EnumFiles(HAPPLICATION hApplication, LPSTR szFileList,
                    ULONG* pulSize) {
  return Export("SKF_EnumFiles", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    if (pulSize == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    Fd files;
    ULONG rc = OpenPart(*app, skfsoft::kFilesFolder, false, &files);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot open the files folder");
    std::vector<std::string> names;
    if (files.valid()) names = skfsoft::ListFiles(files.get());
    const std::string list = skfsoft::NameList(names);
    rc = Deliver(list.data(), list.size(), szFileList, pulSize);
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "file list buffer too small");
  });
}

ULONG SKF_GetFileInfo(HAPPLICATION hApplication, LPSTR szFileName,
                      FILEATTRIBUTE* pFileInfo) {
  return Export("SKF_GetFileInfo", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    std::string name;
    ULONG rc = TakeName(szFileName, skfsoft::kMaxFileNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad file name");
    if (pFileInfo == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no FILEATTRIBUTE pointer");
    Fd files;
    rc = OpenPart(*app, skfsoft::kFilesFolder, false, &files);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot open the files folder");
    size_t size = 0;
    ReadStatus status = files.valid()
                            ? skfsoft::FileSizeAt(files.get(), name, &size)
                            : ReadStatus::kMissing;
    if (status == ReadStatus::kMissing)
      return SKFSOFT_FAIL(SAR_FILE_NOT_EXIST, "no such file");
    if (status != ReadStatus::kOk || size > skfsoft::kMaxFileSize)
      return SKFSOFT_FAIL(SAR_READFILEERR, "cannot read the file");
    FILEATTRIBUTE info;
    std::memset(&info, 0, sizeof info);
    // A 32-byte name fills the field without a NUL, as the record allows.
    std::memcpy(info.FileName, name.data(), name.size());
    info.FileSize = static_cast<ULONG>(size);
    info.ReadRights = SECURE_ANYONE_ACCOUNT;
    info.WriteRights = SECURE_ANYONE_ACCOUNT;
    *pFileInfo = info;
    return SAR_OK;
  });
}

ULONG SKF_ReadFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset,
                   ULONG ulSize, BYTE* pbOutData, ULONG* pulOutLen) {
  return Export("SKF_ReadFile", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    std::string name;
    ULONG rc = TakeName(szFileName, skfsoft::kMaxFileNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad file name");
    if (pulOutLen == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    Fd files;
    rc = OpenPart(*app, skfsoft::kFilesFolder, false, &files);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot open the files folder");
    std::string bytes;
    ReadStatus status = files.valid()
                            ? skfsoft::ReadFileAt(files.get(), name, &bytes)
                            : ReadStatus::kMissing;
    if (status == ReadStatus::kMissing)
      return SKFSOFT_FAIL(SAR_FILE_NOT_EXIST, "no such file");
    if (status != ReadStatus::kOk)
      return SKFSOFT_FAIL(SAR_READFILEERR, "cannot read the file");
    if (ulOffset > bytes.size())
      return SKFSOFT_FAIL(SAR_INDATALENERR, "offset beyond the end");
    // Up to ulSize bytes from the offset; fewer at the end of the file.
    const size_t count = std::min<size_t>(ulSize, bytes.size() - ulOffset);
    rc = Deliver(bytes.data() + ulOffset, count, pbOutData, pulOutLen);
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "output buffer too small");
  });
}

// Read, patch and replace under the device lock: concurrent writers to one
// file lose nothing, and a reader sees the file before or after a write.
ULONG SKF_WriteFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset,
                    BYTE* pbData, ULONG ulSize) {
  return Export("SKF_WriteFile", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    std::string name;
    ULONG rc = TakeName(szFileName, skfsoft::kMaxFileNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad file name");
    if (pbData == nullptr && ulSize != 0)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no data");
    DeviceLock lock;
    rc = skfsoft::LockDevice(*app->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd files;
    rc = OpenPart(*app, skfsoft::kFilesFolder, false, &files);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot open the files folder");
    std::string bytes;
    ReadStatus status = files.valid()
                            ? skfsoft::ReadFileAt(files.get(), name, &bytes)
                            : ReadStatus::kMissing;
    if (status == ReadStatus::kMissing)
      return SKFSOFT_FAIL(SAR_FILE_NOT_EXIST, "no such file");
    if (status != ReadStatus::kOk)
      return SKFSOFT_FAIL(SAR_READFILEERR, "cannot read the file");
    if (static_cast<uint64_t>(ulOffset) + ulSize > bytes.size())
      return SKFSOFT_FAIL(SAR_INDATALENERR, "write beyond the file's size");
    if (ulSize == 0) return SAR_OK;
    std::memcpy(&bytes[ulOffset], pbData, ulSize);
    if (!skfsoft::WriteFileAtomic(lock, files.get(), name, bytes))
      return SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot write the file");
    return SAR_OK;
  });
}

// ---------------------------------------------------------------------------
// Containers. Creating and deleting one needs the user PIN.

ULONG SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                          HCONTAINER* phContainer) {
  return Export("SKF_CreateContainer", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    auto container = std::make_shared<Container>();
    ULONG rc =
        TakeName(szContainerName, skfsoft::kMaxNameLength, &container->name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad container name");
    if (phContainer == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no handle pointer");
    rc = skfsoft::RequireUser(*app);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "user PIN not verified");
    DeviceLock lock;
    rc = skfsoft::LockDevice(*app->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd containers;
    rc = OpenPart(*app, skfsoft::kContainersFolder, true, &containers);
    if (rc != SAR_OK)
      return SKFSOFT_FAIL(rc, "cannot open the containers folder");
    if (mkdirat(containers.get(), container->name.c_str(), 0700) != 0)
      return errno == EEXIST
                 ? SKFSOFT_FAIL(SAR_FILE_ALREADY_EXIST, "container exists")
                 : SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot make the container");
    container->application = app;
    *phContainer = Handles().Add(container, hApplication);
    return SAR_OK;
  });
}

ULONG SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName) {
  return Export("SKF_DeleteContainer", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    std::string name;
    ULONG rc = TakeName(szContainerName, skfsoft::kMaxNameLength, &name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad container name");
    rc = skfsoft::RequireUser(*app);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "user PIN not verified");
    DeviceLock lock;
    rc = skfsoft::LockDevice(*app->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd containers;
    rc = OpenPart(*app, skfsoft::kContainersFolder, false, &containers);
    if (rc != SAR_OK)
      return SKFSOFT_FAIL(rc, "cannot open the containers folder");
    if (!containers.valid() || !skfsoft::IsFolderAt(containers.get(), name))
      return SKFSOFT_FAIL(SAR_FILE_NOT_EXIST, "no such container");
    // Handles still open on it find no container from now on.
    if (!skfsoft::RemoveFolderAt(lock, containers.get(), name))
      return SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot remove the container");
    return SAR_OK;
  });
}

ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                        ULONG* pulSize) {
  return Export("SKF_EnumContainer", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    if (pulSize == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    Fd containers;
    ULONG rc = OpenPart(*app, skfsoft::kContainersFolder, false, &containers);
    if (rc != SAR_OK)
      return SKFSOFT_FAIL(rc, "cannot open the containers folder");
    std::vector<std::string> names;
    if (containers.valid()) names = skfsoft::ListFolders(containers.get(), "");
    const std::string list = skfsoft::NameList(names);
    rc = Deliver(list.data(), list.size(), szContainerName, pulSize);
    return rc == SAR_OK ? rc
                        : SKFSOFT_FAIL(rc, "container list buffer too small");
  });
}

ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                        HCONTAINER* phContainer) {
  return Export("SKF_OpenContainer", [&](const char* fn) -> ULONG {
    auto app = Handles().Get<Application>(hApplication);
    if (!app)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not an application handle");
    auto container = std::make_shared<Container>();
    ULONG rc =
        TakeName(szContainerName, skfsoft::kMaxNameLength, &container->name);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "bad container name");
    if (phContainer == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no handle pointer");
    container->application = app;
    Fd dir;
    rc = skfsoft::OpenContainerFolder(*container, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no such container");
    *phContainer = Handles().Add(container, hApplication);
    return SAR_OK;
  });
}

ULONG SKF_CloseContainer(HCONTAINER hContainer) {
  return Export("SKF_CloseContainer", [&](const char* fn) -> ULONG {
    if (!Handles().Remove(hContainer, Kind::kContainer))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a container handle");
    return SAR_OK;
  });
}

// ---------------------------------------------------------------------------
// Certificates

ULONG SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                            ULONG ulCertLen) {
  return Export("SKF_ImportCertificate", [&](const char* fn) -> ULONG {
    auto container = Handles().Get<Container>(hContainer);
    if (!container)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a container handle");
    if (pbCert == nullptr || ulCertLen == 0 ||
        ulCertLen > kMaxCertificateLength)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no certificate");
    // One DER certificate and nothing after it.
    const unsigned char* p = pbCert;
    kx::UniquePtr<X509> cert(
        d2i_X509(nullptr, &p, static_cast<long>(ulCertLen)));
    if (!cert || p != pbCert + ulCertLen)
      return SKFSOFT_FAIL(SAR_INDATAERR, "not a DER certificate");
    ULONG rc = skfsoft::RequireUser(*container->application);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "user PIN not verified");
    DeviceLock lock;
    rc = skfsoft::LockDevice(*container->application->device, &lock);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot lock the device");
    Fd dir;
    rc = skfsoft::OpenContainerFolder(*container, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "container is gone");
    const std::string bytes(reinterpret_cast<const char*>(pbCert), ulCertLen);
    if (!skfsoft::WriteFileAtomic(
            lock, dir.get(), bSignFlag ? skfsoft::kSignCert : skfsoft::kEncCert,
            bytes))
      return SKFSOFT_FAIL(SAR_WRITEFILEERR, "cannot write the certificate");
    return SAR_OK;
  });
}

ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                            ULONG* pulCertLen) {
  return Export("SKF_ExportCertificate", [&](const char* fn) -> ULONG {
    auto container = Handles().Get<Container>(hContainer);
    if (!container)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a container handle");
    if (pulCertLen == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    Fd dir;
    ULONG rc = skfsoft::OpenContainerFolder(*container, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "container is gone");
    std::string cert;
    switch (skfsoft::ReadFileAt(
        dir.get(), bSignFlag ? skfsoft::kSignCert : skfsoft::kEncCert, &cert)) {
      case ReadStatus::kOk:
        break;
      case ReadStatus::kMissing:
        return SKFSOFT_FAIL(SAR_CERTNOTFOUNTERR, "no such certificate");
      default:
        return SKFSOFT_FAIL(SAR_READFILEERR, "cannot read the certificate");
    }
    rc = Deliver(cert.data(), cert.size(), pbCert, pulCertLen);
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "certificate buffer too small");
  });
}
