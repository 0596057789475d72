// Certificates, key serial numbers and seal identifiers read from the key
// devices through the bound SKF driver. Every export walks devices, the
// configured application and its containers the same way; each keeps its own
// log lines.
#include <openssl/x509.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXString.h"
#include "crypto/openssl_ptr.h"
#include "foundation/export_boundary.h"
#include "skf_table.h"

namespace kx::skf {

std::vector<std::string> SplitNameList(const std::vector<char>& buffer,
                                       ULONG length) {
  std::vector<std::string> names;
  const size_t end = length < buffer.size() ? length : buffer.size();
  size_t at = 0;
  while (at < end) {
    const void* nul = std::memchr(buffer.data() + at, '\0', end - at);
    const size_t stop =
        nul == nullptr ? end : static_cast<const char*>(nul) - buffer.data();
    if (stop == at) break;  // the empty name ends the list
    names.emplace_back(buffer.data() + at, stop - at);
    at = stop + 1;
  }
  return names;
}

bool ExportCertificate(HCONTAINER container, bool sign,
                       std::vector<unsigned char>* cert, ULONG* code) {
  ULONG length = 0;
  *code = SKF_CALL(SKF_ExportCertificate, container, sign ? TRUE : FALSE,
                   static_cast<BYTE*>(nullptr), &length);
  if (*code != SAR_OK) return false;
  cert->assign(length, 0);
  *code = SKF_CALL(SKF_ExportCertificate, container, sign ? TRUE : FALSE,
                   cert->data(), &length);
  if (*code != SAR_OK) return false;
  if (length < cert->size()) cert->resize(length);
  return true;
}

std::string KeySerialText(const DEVINFO& info) {
  auto text = [](const CHAR* field, size_t size) {
    return std::string(field, strnlen(field, size));
  };
  if (text(info.Issuer, sizeof info.Issuer) == "Dunmark") {
    static const char kHex[] = "0123456789abcdef";
    std::string serial = "Korvex Dunmark ";
    for (int i = 0; i < 8; ++i) {
      const auto byte = static_cast<unsigned char>(info.SerialNumber[i]);
      serial += kHex[byte >> 4];
      serial += kHex[byte & 0x0F];
    }
    return serial;
  }
  return text(info.Manufacturer, sizeof info.Manufacturer) + " " +
         text(info.SerialNumber, sizeof info.SerialNumber);
}

}  // namespace kx::skf

namespace {

using kx::skf::Application;
using kx::skf::Container;
using kx::skf::Device;

// The log lines of one export's walk (printf formats, the code their only
// argument).
struct WalkLines {
  const char* function;
  const char* arguments;
  const char* initialize;
  const char* devicesSize;
  const char* devices;
  const char* noDevice;
  const char* connect;
  const char* application;
  const char* containersSize;
  const char* containers;
};

#define WALK_LINES(fn, connectFn, containersFn, d, x)                          \
  WalkLines {                                                                  \
    fn, fn "==>" x " -- arguments error", fn "==>" x " -- Initialize() error", \
        fn "==>" x " -- SKF_EnumDev() get size error",                         \
        fn "==>" x " -- SKF_EnumDev() error",                                  \
        fn "==>%d -- not find any device",                                     \
        connectFn "==>" d " -- SKF_ConnectDev() error",                        \
        fn "==>%d -- SKF_OpenApplication() error",                             \
        containersFn "==>%d -- SKF_EnumContainer() get conlist size error",    \
        containersFn "==>%d -- SKF_EnumContainer() get conlist error"          \
  }

const WalkLines kGetCert =
    WALK_LINES("SEBF_GetCert", "SEBF_GetCert", "SEBF_GetCert", "%08x", "%d");
const WalkLines kGetCertbySN = WALK_LINES(
    "SEBF_GetCertbySN", "SEBF_GetCertbySN", "SEBF_GetCertbySN", "%d", "%d");
const WalkLines kGetCertforPrint =
    WALK_LINES("SEBF_GetCertforPrint", "SEBF_GetCertList",
               "SEBF_GetCertforPrintt", "%d", "%d");
const WalkLines kGetESealList = WALK_LINES(
    "SEBF_GetESealList", "SEBF_GetESealList", "SEBF_GetESealList", "%d", "%d");
const WalkLines kGetKeySn = WALK_LINES("SEBF_GetKeySn", "SEBF_GetKeySn",
                                       "SEBF_GetKeySn", "%08x", "%08x");
const WalkLines kGetKeySnbyCert =
    WALK_LINES("SEBF_GetKeySnbyCert", "SEBF_GetKeySnbyCert",
               "SEBF_GetKeySnbyCert", "%d", "%d");

uint32_t Fail(const WalkLines& lines, const char* format, int line,
              ULONG printed, uint32_t result) {
  KXLog(KX_LOG_ERROR, lines.function, line, format, printed);
  return result;
}

// The device list, read in the driver's two calls. 0 with the device names,
// or the code (no device: 5030).
uint32_t ListDevices(const WalkLines& lines,
                     std::vector<std::string>* devices) {
  kx::skf::ListResult list = kx::skf::ReadList([](char* buffer, ULONG* size) {
    return SKF_CALL(SKF_EnumDev, TRUE, buffer, size);
  });
  if (list.sizeCode != SAR_OK)
    return Fail(lines, lines.devicesSize, __LINE__, list.sizeCode,
                list.sizeCode);
  if (list.readCode != SAR_OK)
    return Fail(lines, lines.devices, __LINE__, list.readCode, list.readCode);
  if (list.names.empty())
    return Fail(lines, lines.noDevice, __LINE__, KX_ERR_NO_UKEY,
                KX_ERR_NO_UKEY);
  *devices = std::move(list.names);
  return 0;
}

uint32_t Initialize(const WalkLines& lines) {
  if (SE_Initialize() != 0) return 0;
  return Fail(lines, lines.initialize, __LINE__, KX_ERR_FAIL, KX_ERR_FAIL);
}

// Common start of the walks: required pointers tested by the caller, then
// initialisation and the device list.
uint32_t StartWalk(const WalkLines& lines, std::vector<std::string>* devices) {
  if (uint32_t code = Initialize(lines)) return code;
  return ListDevices(lines, devices);
}

// Connects the device and, when `application` is given, opens the
// configured application on it.
uint32_t OpenDevice(const WalkLines& lines, const std::string& name,
                    Device* device, Application* application) {
  ULONG code =
      SKF_CALL(SKF_ConnectDev, const_cast<LPSTR>(name.c_str()), device->Out());
  if (code != SAR_OK)
    return Fail(lines, lines.connect, __LINE__, code, KX_ERR_NO_UKEY);
  if (application == nullptr) return 0;
  code = SKF_CALL(SKF_OpenApplication, device->get(),
                  const_cast<LPSTR>(GET_ESEAL_APP_NAME()), application->Out());
  if (code != SAR_OK)
    return Fail(lines, lines.application, __LINE__, code, KX_ERR_OPEN_APP);
  return 0;
}

kx::skf::ListResult ReadContainers(HAPPLICATION application) {
  return kx::skf::ReadList([application](char* buffer, ULONG* size) {
    return SKF_CALL(SKF_EnumContainer, application, buffer, size);
  });
}

uint32_t ListContainers(const WalkLines& lines, HAPPLICATION application,
                        std::vector<std::string>* names) {
  kx::skf::ListResult list = ReadContainers(application);
  if (list.sizeCode != SAR_OK)
    return Fail(lines, lines.containersSize, __LINE__, list.sizeCode,
                KX_ERR_CONTAINER);
  if (list.readCode != SAR_OK)
    return Fail(lines, lines.containers, __LINE__, KX_ERR_CONTAINER,
                KX_ERR_CONTAINER);
  *names = std::move(list.names);
  return 0;
}

// What a visitor of signing certificates answers.
enum class Visit { kNext, kMatch, kStop };

// Reads the signing certificate of every container of every device, in list
// order, until `visit` answers kMatch or kStop (with the code in *code).
// Containers that cannot be opened and certificates that cannot be read are
// skipped. Returns 0 after a match, 5052-free "no match" as 0 with *matched
// false, or the code that ended the walk.
uint32_t WalkSigningCertificates(
    const WalkLines& lines,
    const std::function<Visit(const std::vector<unsigned char>&, uint32_t*)>&
        visit,
    bool* matched) {
  *matched = false;
  std::vector<std::string> devices;
  if (uint32_t code = StartWalk(lines, &devices)) return code;
  for (const std::string& deviceName : devices) {
    Device device;
    Application application;
    if (uint32_t code = OpenDevice(lines, deviceName, &device, &application))
      return code;
    std::vector<std::string> containers;
    if (uint32_t code = ListContainers(lines, application.get(), &containers))
      return code;
    for (const std::string& name : containers) {
      Container container;
      if (SKF_CALL(SKF_OpenContainer, application.get(),
                   const_cast<LPSTR>(name.c_str()), container.Out()) != SAR_OK)
        continue;
      std::vector<unsigned char> cert;
      ULONG driverCode = 0;
      if (!kx::skf::ExportCertificate(container.get(), true, &cert,
                                      &driverCode))
        continue;
      uint32_t code = 0;
      switch (visit(cert, &code)) {
        case Visit::kNext:
          break;
        case Visit::kMatch:
          *matched = true;
          return 0;
        case Visit::kStop:
          return code;
      }
    }
  }
  return 0;
}

// Parses a device certificate for the searches; a certificate that does not
// parse ends them with 5010.
shared_ptr<X509> ParseDeviceCert(const std::vector<unsigned char>& cert) {
  if (cert.size() > 0x7FFFFFFFu) return shared_ptr<X509>();
  return KXStrToX509(cert.data(), static_cast<int>(cert.size()));
}

// Lowercase hex of the content octets of the certificate's serialNumber
// INTEGER, as DER writes them.
std::string SerialText(const X509* cert) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  unsigned char* der = nullptr;
  const int length = i2d_ASN1_INTEGER(serial, &der);
  if (length <= 0) return std::string();
  kx::OpenSslBytes owned(der);
  const unsigned char* p = der;
  long contentLength = 0;
  int tag = 0, xclass = 0;
  if (ASN1_get_object(&p, &contentLength, &tag, &xclass, length) & 0x80)
    return std::string();
  const ckxstr hex = KXHexToStr(p, static_cast<unsigned int>(contentLength));
  return std::string(hex.c_str(), hex.length());
}

uint32_t DeliverKeySerial(const char* function, const char* tooSmallLine,
                          const std::string& text, unsigned char* out,
                          uint32_t* outLen) {
  const uint32_t code = kx::DeliverOutput(
      text.data(), static_cast<uint32_t>(text.size()), out, outLen);
  if (code != 0) KXLog(KX_LOG_ERROR, function, __LINE__, tooSmallLine, code);
  return code;
}

uint32_t GetCert(uint32_t kind, unsigned char* cert, uint32_t* certLen) {
  const WalkLines& lines = kGetCert;
  std::vector<std::string> devices;
  if (uint32_t code = StartWalk(lines, &devices)) return code;
  // Several devices: no certificate is chosen.
  if (devices.size() > 1) {
    *certLen = 0;
    return 0;
  }
  Device device;
  Application application;
  if (uint32_t code = OpenDevice(lines, devices[0], &device, &application))
    return code;
  std::vector<std::string> containers;
  if (uint32_t code = ListContainers(lines, application.get(), &containers))
    return code;
  const unsigned int low = kind & 0xFF;
  const bool wantSign = low == 0 || low == 2;
  const bool wantEnc = low == 0 || low == 1;
  int found = 0;
  std::string foundContainer;
  bool foundSign = false;
  ULONG foundLength = 0;
  ULONG lastCode = 0;
  for (const std::string& name : containers) {
    Container container;
    ULONG code = SKF_CALL(SKF_OpenContainer, application.get(),
                          const_cast<LPSTR>(name.c_str()), container.Out());
    if (code != SAR_OK) {
      lastCode = code;
      continue;
    }
    for (bool sign : {true, false}) {
      if (sign ? !wantSign : !wantEnc) continue;
      ULONG length = 0;
      lastCode =
          SKF_CALL(SKF_ExportCertificate, container.get(), sign ? TRUE : FALSE,
                   static_cast<BYTE*>(nullptr), &length);
      if (lastCode != SAR_OK) continue;
      if (++found > 1) {
        *certLen = 0;
        return 0;
      }
      foundContainer = name;
      foundSign = sign;
      foundLength = length;
      KX_LOG(KX_LOG_DEBUG, lines.function,
             sign ? "SEBF_GetCert==>the certficate num is %d,the sign cert "
                    "len is %d"
                  : "SEBF_GetCert==>the certficate num is %d,the enc cert "
                    "len is %d",
             0, static_cast<int>(length));
    }
  }
  if (found == 0) {
    *certLen = 0;
    return lastCode;
  }
  KX_LOG(KX_LOG_DEBUG, lines.function,
         "SEBF_GetCert==>the certficate num is %d", 1);
  Container container;
  ULONG code =
      SKF_CALL(SKF_OpenContainer, application.get(),
               const_cast<LPSTR>(foundContainer.c_str()), container.Out());
  if (code != SAR_OK) return code;
  KX_LOG(KX_LOG_DEBUG, lines.function,
         "SEBF_GetCert==>the certficate len is %d,certlen is %d",
         static_cast<int>(foundLength), static_cast<int>(*certLen));
  std::vector<unsigned char> bytes(foundLength);
  ULONG length = foundLength;
  code = SKF_CALL(SKF_ExportCertificate, container.get(),
                  foundSign ? TRUE : FALSE, bytes.data(), &length);
  if (code != SAR_OK)
    return KX_FAIL(lines.function,
                   "SEBF_GetCert==>%d -- SKF_ExportCertificate() get cert "
                   "error",
                   code);
  if (length < bytes.size()) bytes.resize(length);
  container.Close();
  // A buffer too small for the certificate receives nothing and no error:
  // the caller compares the length with its buffer.
  if (cert != nullptr && *certLen >= bytes.size())
    std::memcpy(cert, bytes.data(), bytes.size());
  *certLen = static_cast<uint32_t>(bytes.size());
  return 0;
}

// The search of SEBF_GetCertbySN and SEBF_GetCertforPrint: the first signing
// certificate `matches` accepts, delivered into the caller's buffer.
uint32_t FindCert(const WalkLines& lines, const char* invalidLine,
                  const char* tooSmallLine, const char* notFoundLine,
                  const std::function<bool(const X509*)>& matches,
                  unsigned char* out, uint32_t* outLen) {
  std::vector<unsigned char> found;
  bool matched = false;
  const uint32_t code = WalkSigningCertificates(
      lines,
      [&](const std::vector<unsigned char>& cert, uint32_t* stopCode) {
        shared_ptr<X509> x509 = ParseDeviceCert(cert);
        if (!x509) {
          *stopCode = Fail(lines, invalidLine, __LINE__, KX_ERR_INVALID_CERT,
                           KX_ERR_INVALID_CERT);
          return Visit::kStop;
        }
        if (!matches(x509.get())) return Visit::kNext;
        found = cert;
        return Visit::kMatch;
      },
      &matched);
  if (code != 0) return code;
  if (!matched)
    return Fail(lines, notFoundLine, __LINE__, KX_ERR_CERT_ABSENT,
                KX_ERR_CERT_ABSENT);
  const uint32_t delivered = kx::DeliverOutput(
      found.data(), static_cast<uint32_t>(found.size()), out, outLen);
  if (delivered != 0)
    return Fail(lines, tooSmallLine, __LINE__, delivered, delivered);
  return 0;
}

uint32_t GetCertbySN(const char* sn, uint32_t snLen, unsigned char* cert,
                     uint32_t* certLen) {
  const std::string wanted(sn, snLen);
  return FindCert(
      kGetCertbySN,
      "SEBF_GetCertbySN==>%08x -- KXStrToX509() error,invalid cert",
      "SEBF_GetCertbySN==>%08x -- arguments cert buffer too small",
      "SEBF_GetCertbySN==>%d -- not find matched cert",
      [&](const X509* x509) {
        const std::string serial = SerialText(x509);
        KX_LOG(KX_LOG_DEBUG, kGetCertbySN.function,
               "SEBF_GetCertbySN==>pchCertSN is %s,find SN is %s",
               wanted.c_str(), serial.c_str());
        if (serial != wanted) return false;
        KX_LOG(KX_LOG_DEBUG, kGetCertbySN.function,
               "SEBF_GetCertbySN==> match sn cert");
        return true;
      },
      cert, certLen);
}

uint32_t GetCertforPrint(const char* selector, unsigned char* cert,
                         uint32_t* certLen) {
  const char* fn = kGetCertforPrint.function;
  // "OU=" selects the organizational unit (NID 18), "O=" the organization
  // (NID 17); any other selector matches nothing.
  int nid = 0;
  const char* name = nullptr;
  if (selector != nullptr && std::strncmp(selector, "OU=", 3) == 0) {
    nid = 18;
    name = selector + 3;
  } else if (selector != nullptr && std::strncmp(selector, "O=", 2) == 0) {
    nid = 17;
    name = selector + 2;
  }
  const ckxstr converted = name != nullptr ? KXMbcsToUtf8(name, -1) : ckxstr();
  return FindCert(
      kGetCertforPrint,
      "SEBF_GetCertforPrint==>%08x -- KXStrToX509() error,invalid cert",
      "SEBF_GetCertforPrint==>%08x -- arguments cert buffer too small",
      "SEBF_GetCertforPrint==>%d -- not find matched cert",
      [&](const X509* x509) {
        if (nid == 0) return false;
        const ckxstr value = KXGetX509Name(X509_get_subject_name(x509), nid);
        KXLog(KX_LOG_ERROR, fn, __LINE__,
              nid == 18 ? "SEBF_GetCertforPrint==>cert ou is %s, param is "
                          "%s,param ztoutf8 is %s"
                        : "SEBF_GetCertforPrint==>cert o is %s,param is %s, "
                          "param zutf8 is %s",
              value.c_str(), name, converted.c_str());
        if (std::strcmp(value.c_str(), name) != 0 &&
            std::strcmp(value.c_str(), converted.c_str()) != 0)
          return false;
        KXLog(KX_LOG_ERROR, fn, __LINE__,
              nid == 18 ? "SEBF_GetCertforPrint==> match ou cert"
                        : "SEBF_GetCertforPrint==> match o cert");
        return true;
      },
      cert, certLen);
}

// The seal identifier a seal file name carries: "ZqES00" and the Base64 of
// the identifier with "/" written as "-". Empty unless it decodes to 16 or 7
// bytes.
std::string SealIdOfFileName(const std::string& file) {
  static const char kPrefix[] = "ZqES00";
  if (file.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return std::string();
  std::string encoded = file.substr(sizeof kPrefix - 1);
  for (char& c : encoded)
    if (c == '-') c = '/';
  const ckxstr id =
      KXBase64Decode(encoded.c_str(), static_cast<int>(encoded.size()));
  const ckxstr hex =
      KXHexToStr(id.c_str(), static_cast<unsigned int>(id.length()));
  if (hex.length() != 32 && hex.length() != 14) return std::string();
  return std::string(hex.c_str(), hex.length());
}

uint32_t GetESealList(unsigned char* list, uint32_t* listLen, uint32_t* count) {
  const WalkLines& lines = kGetESealList;
  KX_LOG(KX_LOG_DEBUG, lines.function, "-->SEBF_GetESealList begin ");
  std::vector<std::string> devices;
  if (uint32_t code = StartWalk(lines, &devices)) return code;
  // Collected without a fixed bound: every identifier is listed.
  std::string collected;
  uint32_t identifiers = 0;
  for (const std::string& deviceName : devices) {
    Device device;
    Application application;
    if (uint32_t code = OpenDevice(lines, deviceName, &device, &application))
      return code;
    HAPPLICATION app = application.get();
    kx::skf::ListResult files =
        kx::skf::ReadList([app](char* buffer, ULONG* size) {
          return SKF_CALL(SKF_EnumFiles, app, buffer, size);
        });
    if (files.sizeCode != SAR_OK)
      return Fail(lines,
                  "SEBF_GetESealList==>%d -- SKF_EnumFiles() get filelist "
                  "size error",
                  __LINE__, files.sizeCode, KX_ERR_ENUM_FILES);
    if (files.readCode != SAR_OK)
      return Fail(lines, "SEBF_GetESealList==>%d -- SKF_EnumFiles() error",
                  __LINE__, files.readCode, KX_ERR_ENUM_FILES);
    for (const std::string& file : files.names) {
      const std::string id = SealIdOfFileName(file);
      if (id.empty()) continue;
      collected += id;
      collected += '\0';
      ++identifiers;
    }
  }
  if (identifiers == 0) {
    *listLen = 0;
    *count = 0;
    return KX_FAIL(lines.function,
                   "SEBF_GetESealList==>%d -- not find any ESeal File",
                   KX_ERR_NO_SEAL_ON_KEY);
  }
  collected += '\0';
  *count = identifiers;
  const uint32_t code = kx::DeliverOutput(
      collected.data(), static_cast<uint32_t>(collected.size()), list, listLen);
  if (code != 0)
    return KX_FAIL(lines.function,
                   "SEBF_GetESealList==>%d -- arguments es list buffer too "
                   "small",
                   code);
  return 0;
}

uint32_t GetKeySn(unsigned char* keySn, uint32_t* keySnLen) {
  const WalkLines& lines = kGetKeySn;
  std::vector<std::string> devices;
  if (uint32_t code = StartWalk(lines, &devices)) return code;
  if (devices.size() > 1)
    return Fail(lines, "SEBF_GetKeySn==>%08x -- too many device error",
                __LINE__, 0, KX_ERR_NO_UKEY);
  Device device;
  if (uint32_t code = OpenDevice(lines, devices[0], &device, nullptr))
    return code;
  DEVINFO info{};
  if (SKF_CALL(SKF_GetDevInfo, device.get(), &info) != SAR_OK)
    return KX_FAIL(lines.function,
                   "SEBF_GetKeySn==>%08x -- SKF_GetDevInfo error", KX_ERR_FAIL);
  return DeliverKeySerial(lines.function,
                          "SEBF_GetKeySn==>%08x -- arguments keysn buffer too "
                          "small",
                          kx::skf::KeySerialText(info), keySn, keySnLen);
}

uint32_t GetKeySnbyCert(const unsigned char* cert, uint32_t certLen,
                        unsigned char* keySn, uint32_t* keySnLen) {
  const WalkLines& lines = kGetKeySnbyCert;
  const char* fn = lines.function;
  if (uint32_t code = Initialize(lines)) return code;
  KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>begin");
  const unsigned char* p = cert;
  kx::UniquePtr<X509> x509(
      certLen > 0x7FFFFFFFu
          ? nullptr
          : d2i_X509(nullptr, &p, static_cast<long>(certLen)));
  if (!x509)
    return KX_FAIL(fn, "SEBF_GetKeySnbyCert==>%d -- the args pchCert error",
                   KX_ERR_INVALID_INPUT);
  KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>d2i_X509 end");
  const int alg = KXCertAlgo(X509_get_X509_PUBKEY(x509.get()));
  if (alg != 1 && alg != 2)
    return KX_FAIL(fn, "SEBF_GetKeySnbyCert==>%d -- the args pchCert alg error",
                   KX_ERR_CERT_ALGO);
  KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>get cert alg dwsm2 is %d",
         alg);
  std::vector<std::string> devices;
  if (uint32_t code = ListDevices(lines, &devices)) return code;
  uint32_t lastResult = 0;
  for (const std::string& deviceName : devices) {
    Device device;
    Application application;
    if (uint32_t code = OpenDevice(lines, deviceName, &device, &application))
      return code;
    KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>FindPrivateSignKey begin");
    void* container = nullptr;
    lastResult =
        SE_FindPrivateSignKey(application.get(), x509.get(), alg, &container);
    KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>FindPrivateSignKey end");
    if (lastResult != 0) continue;
    application.Close();
    KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>SKF_GetDevInfo begin");
    DEVINFO info{};
    if (SKF_CALL(SKF_GetDevInfo, device.get(), &info) != SAR_OK)
      return KX_ERR_FAIL;
    KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>SKF_GetDevInfo end");
    const std::string text = kx::skf::KeySerialText(info);
    KX_LOG(KX_LOG_DEBUG, fn,
           "SEBF_GetKeySnbyCert==>get sn end in *keySnlen is %d",
           static_cast<int>(*keySnLen));
    const uint32_t code = DeliverKeySerial(
        fn, "SEBF_GetKeySnbyCert==>%d -- arguments keysn buffer too small",
        text, keySn, keySnLen);
    KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>out *keySnlen is %d",
           static_cast<int>(*keySnLen));
    if (code != 0) return code;
    KX_LOG(KX_LOG_DEBUG, fn, "SEBF_GetKeySnbyCert==>get sn end");
    return 0;
  }
  KXLog(KX_LOG_ERROR, fn, __LINE__,
        "SEBF_GetKeySnbyCert==>%d -- no right Device with sign cert error",
        lastResult);
  return KX_ERR_NO_UKEY;
}

}  // namespace

extern "C" uint32_t SEBF_GetCert(uint32_t kind, unsigned char* cert,
                                 uint32_t* certLen) {
  if (certLen == nullptr)
    return Fail(kGetCert, kGetCert.arguments, __LINE__, KX_ERR_INVALID_INPUT,
                KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SEBF_GetCert"),
                       [&] { return GetCert(kind, cert, certLen); });
}

extern "C" uint32_t SEBF_GetCertbySN(const char* sn, uint32_t snLen,
                                     unsigned char* cert, uint32_t* certLen) {
  if (sn == nullptr || certLen == nullptr)
    return Fail(kGetCertbySN, kGetCertbySN.arguments, __LINE__,
                KX_ERR_INVALID_INPUT, KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SEBF_GetCertbySN"),
                       [&] { return GetCertbySN(sn, snLen, cert, certLen); });
}

extern "C" uint32_t SEBF_GetCertforPrint(const char* selector,
                                         unsigned char* cert,
                                         uint32_t* certLen) {
  if (certLen == nullptr)
    return Fail(kGetCertforPrint, kGetCertforPrint.arguments, __LINE__,
                KX_ERR_INVALID_INPUT, KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SEBF_GetCertforPrint"), [&] {
    return GetCertforPrint(selector, cert, certLen);
  });
}

extern "C" uint32_t SEBF_GetESealList(unsigned char* list, uint32_t* listLen,
                                      uint32_t* count) {
  // The count is written on every answer, so it is required like the length.
  if (listLen == nullptr || count == nullptr)
    return Fail(kGetESealList, kGetESealList.arguments, __LINE__,
                KX_ERR_INVALID_INPUT, KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SEBF_GetESealList"),
                       [&] { return GetESealList(list, listLen, count); });
}

extern "C" uint32_t SEBF_GetKeySn(unsigned char* keySn, uint32_t* keySnLen) {
  if (keySnLen == nullptr)
    return Fail(kGetKeySn, kGetKeySn.arguments, __LINE__, KX_ERR_INVALID_INPUT,
                KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SEBF_GetKeySn"),
                       [&] { return GetKeySn(keySn, keySnLen); });
}

extern "C" uint32_t SEBF_GetKeySnbyCert(const unsigned char* cert,
                                        uint32_t certLen, unsigned char* keySn,
                                        uint32_t* keySnLen) {
  if (cert == nullptr || keySnLen == nullptr)
    return Fail(kGetKeySnbyCert, kGetKeySnbyCert.arguments, __LINE__,
                KX_ERR_INVALID_INPUT, KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SEBF_GetKeySnbyCert"), [&] {
    return GetKeySnbyCert(cert, certLen, keySn, keySnLen);
  });
}
