// `ofdseal device list`.
#include "device_list.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "KXLog.h"
#include "SKF.h"
#include "SealDevice.h"
#include "cli.h"
#include "skf_driver.h"
#include "text.h"

namespace ofdseal {
namespace {

std::string Field(const CHAR* field, size_t size) {
  return EscapeText(DisplayText(std::string(field, strnlen(field, size))));
}

std::string BioText(const std::function<void(BIO*)>& print) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()),
                                                &BIO_free);
  if (!bio) return "";
  print(bio.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, length > 0 ? static_cast<size_t>(length) : 0);
}

// "subject, serial, validity" of a DER certificate.
void PrintCertificate(const char* role, const std::vector<unsigned char>& der) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
  if (!cert) {
    std::cout << "      " << role << " certificate: " << der.size()
              << " bytes that do not parse\n";
    return;
  }
  const std::string subject = BioText([&](BIO* bio) {
    X509_NAME_print_ex(bio, X509_get_subject_name(cert.get()), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  });
  const std::string serial = BioText([&](BIO* bio) {
    i2a_ASN1_INTEGER(bio, X509_get0_serialNumber(cert.get()));
  });
  const std::string notBefore = BioText(
      [&](BIO* bio) { ASN1_TIME_print(bio, X509_get0_notBefore(cert.get())); });
  const std::string notAfter = BioText(
      [&](BIO* bio) { ASN1_TIME_print(bio, X509_get0_notAfter(cert.get())); });
  std::cout << "      " << role << " certificate: " << EscapeText(subject)
            << "\n        serial " << EscapeText(serial) << ", valid "
            << notBefore << " to " << notAfter << "\n";
}

// The signing or encryption certificate of a container, empty when absent.
std::vector<unsigned char> ExportCertificate(HCONTAINER container, bool sign) {
  auto exportCert = Bound<PFN_SKF_ExportCertificate>(37);
  ULONG length = 0;
  if (exportCert(container, sign ? TRUE : FALSE, nullptr, &length) != SAR_OK)
    return {};
  std::vector<unsigned char> cert(length);
  if (exportCert(container, sign ? TRUE : FALSE, cert.data(), &length) !=
      SAR_OK)
    return {};
  cert.resize(length);
  return cert;
}

std::string KeySerialOf(const std::vector<unsigned char>& cert) {
  unsigned char serial[256];
  uint32_t length = sizeof serial;
  if (SEBF_GetKeySnbyCert(cert.data(), static_cast<uint32_t>(cert.size()),
                          serial, &length) != 0)
    return "";
  return std::string(reinterpret_cast<char*>(serial), length);
}

void ListDevice(const std::string& name, bool onlyDevice) {
  std::cout << "Device " << EscapeText(name) << "\n";
  DEVHANDLE device = nullptr;
  ULONG code = Bound<PFN_SKF_ConnectDev>(4)(const_cast<LPSTR>(name.c_str()),
                                            &device);
  if (code != SAR_OK) {
    std::cout << "  cannot connect (" << Code(code) << ")\n";
    return;
  }
  DEVINFO info{};
  if (Bound<PFN_SKF_GetDevInfo>(8)(device, &info) == SAR_OK) {
    std::cout << "  manufacturer: "
              << Field(info.Manufacturer, sizeof info.Manufacturer)
              << "\n  issuer: " << Field(info.Issuer, sizeof info.Issuer)
              << "\n  label: " << Field(info.Label, sizeof info.Label) << "\n";
  }
  std::string keySerial;
  if (onlyDevice) {
    unsigned char serial[256];
    uint32_t length = sizeof serial;
    if (SEBF_GetKeySn(serial, &length) == 0)
      keySerial.assign(reinterpret_cast<char*>(serial), length);
  }
  HAPPLICATION app = nullptr;
  const char* appName = GET_ESEAL_APP_NAME();
  code = Bound<PFN_SKF_OpenApplication>(22)(device, const_cast<LPSTR>(appName),
                                            &app);
  if (code != SAR_OK) {
    if (!keySerial.empty())
      std::cout << "  key serial: " << EscapeText(keySerial) << "\n";
    std::cout << "  application " << EscapeText(appName) << ": cannot open ("
              << Code(code) << ")\n";
    Bound<PFN_SKF_DisConnectDev>(5)(device);
    return;
  }
  std::vector<std::string> containers;
  ReadNames(
      [app](char* list, ULONG* size) {
        return Bound<PFN_SKF_EnumContainer>(32)(app, list, size);
      },
      &containers, &code);
  std::vector<std::string> files;
  ULONG filesCode = 0;
  ReadNames(
      [app](char* list, ULONG* size) {
        return Bound<PFN_SKF_EnumFiles>(26)(app, list, size);
      },
      &files, &filesCode);
  // The certificates are read first: the key serial of a device with
  // others beside it comes from the device that holds a signing key.
  struct Found {
    std::string container;
    ULONG type = 0;
    std::vector<unsigned char> sign, enc;
  };
  std::vector<Found> found;
  for (const std::string& container : containers) {
    HCONTAINER handle = nullptr;
    Found entry;
    entry.container = container;
    if (Bound<PFN_SKF_OpenContainer>(33)(app, const_cast<LPSTR>(container.c_str()),
                                         &handle) != SAR_OK) {
      found.push_back(entry);
      continue;
    }
    Bound<PFN_SKF_GetContainerType>(35)(handle, &entry.type);
    entry.sign = ExportCertificate(handle, true);
    entry.enc = ExportCertificate(handle, false);
    Bound<PFN_SKF_CloseContainer>(34)(handle);
    if (keySerial.empty() && !entry.sign.empty())
      keySerial = KeySerialOf(entry.sign);
    found.push_back(std::move(entry));
  }
  Bound<PFN_SKF_CloseApplication>(23)(app);
  Bound<PFN_SKF_DisConnectDev>(5)(device);
  std::cout << "  key serial: "
            << (keySerial.empty() ? std::string("-") : EscapeText(keySerial))
            << "\n  application " << EscapeText(appName) << ": "
            << found.size() << " container(s), " << files.size()
            << " file(s)\n";
  static const char* const kTypes[] = {"empty", "RSA", "SM2"};
  for (const Found& entry : found) {
    std::cout << "    container " << EscapeText(entry.container) << " ("
              << (entry.type < 3 ? kTypes[entry.type] : "unknown") << ")\n";
    if (!entry.sign.empty()) PrintCertificate("signing", entry.sign);
    if (!entry.enc.empty()) PrintCertificate("encryption", entry.enc);
  }
  for (const std::string& file : files)
    if (file.compare(0, 6, "ZqES00") == 0)
      std::cout << "    seal file " << EscapeText(file) << "\n";
}

}  // namespace

int DeviceList(const DeviceListOptions& options) {
  if (!options.driver.empty()) {
    const uint32_t code = SKF_LoadLibrary(options.driver.c_str(), funcList);
    if (code != 0)
      return InputError(options.driver,
                        "cannot bind the SKF driver (" + Code(code) + ")",
                        false);
  }
  if (SE_Initialize() == 0)
    return InputError(std::string(KXGetDllPath()) + "main.ini",
                      "no SKF driver could be bound: name one with --driver "
                      "or with dllpath in main.ini",
                      false);
  std::vector<std::string> devices;
  ULONG code = 0;
  if (!ReadNames(
          [](char* list, ULONG* size) {
            return Bound<PFN_SKF_EnumDev>(3)(TRUE, list, size);
          },
          &devices, &code))
    return InputError("device list", "the driver answered " + Code(code),
                      false);
  if (devices.empty()) {
    std::cout << "No device present.\n";
    return kExitOk;
  }
  for (const std::string& device : devices)
    ListDevice(device, devices.size() == 1);
  uint32_t length = 0, count = 0;
  std::cout << "Seals:";
  if (SEBF_GetESealList(nullptr, &length, &count) == 0 && count > 0) {
    std::vector<unsigned char> list(length);
    if (SEBF_GetESealList(list.data(), &length, &count) == 0) {
      for (size_t at = 0; at < length && list[at] != 0;) {
        const std::string id(reinterpret_cast<char*>(list.data()) + at);
        std::cout << "\n  " << id;
        at += id.size() + 1;
      }
    }
    std::cout << "\n";
  } else {
    std::cout << " none\n";
  }
  return std::cout.flush() ? kExitOk : kExitUsage;
}

}  // namespace ofdseal
