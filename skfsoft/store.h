// Provisioning of software key devices: writes the folder layout that
// libskfsoft.so reads, under the same device lock and with the same atomic
// writes as the driver, so it may run while programs use the device.
//
//   $ROOT/<device>/device.ini                 Manufacturer, Issuer, Label,
//                                             SerialNumber or SerialNumberHex
//   $ROOT/<device>/<app>/app.ini              UserPin, AdminPin, MaxRetries,
//                                             UserRetries, AdminRetries
//   $ROOT/<device>/<app>/files/<name>         file contents
//   $ROOT/<device>/<app>/containers/<name>/   container.ini (Type), sign.cer,
//                                             sign.key, enc.cer, enc.key
//
// Each function returns false with a one-line reason in *error.
#pragma once

#include <string>

namespace skfsoft {

// Container types of container.ini; kTypeFromKey writes no container.ini,
// the type then follows the signing key.
enum ContainerType : int {
  kTypeFromKey = -1,
  kTypeEmpty = 0,
  kTypeRsa = 1,
  kTypeSm2 = 2,
};

// Whether `device` is a device of `root` (its folder holds device.ini).
bool DeviceExists(const std::string& root, const std::string& device);

// Writes the device description, making the folders as needed; an existing
// description is replaced, its applications are kept. The texts take at most
// 63 (manufacturer, issuer) and 31 (label) bytes; `serial` is bytes, at most
// 32: printable text of up to 31 bytes is written as SerialNumber, anything
// else as SerialNumberHex.
bool CreateDevice(const std::string& root, const std::string& device,
                  const std::string& manufacturer, const std::string& issuer,
                  const std::string& label, const std::string& serial,
                  std::string* error);

// Writes the application's PINs with full retry counters (replacing an
// existing app.ini, which also unlocks its PINs) and makes its files and
// containers folders. The device must exist.
bool CreateApplication(const std::string& root, const std::string& device,
                       const std::string& app, const std::string& userPin,
                       const std::string& adminPin, unsigned maxRetries,
                       std::string* error);

// Puts a container in place as a whole, replacing one of that name: the
// certificates are DER, the keys PEM; an empty string leaves that part out.
// The application must exist.
bool PutContainer(const std::string& root, const std::string& device,
                  const std::string& app, const std::string& container,
                  int type, const std::string& signCertDer,
                  const std::string& signKeyPem, const std::string& encCertDer,
                  const std::string& encKeyPem, std::string* error);

// Writes a file of the application (a valid SKF file name, at most 32
// bytes), replacing one of that name. The application must exist.
bool PutFile(const std::string& root, const std::string& device,
             const std::string& app, const std::string& name,
             const std::string& bytes, std::string* error);

}  // namespace skfsoft
