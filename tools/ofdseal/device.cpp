#include "device.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>

#include "SealProperty.h"
#include "cli.h"
#include "device_list.h"
#include "folder.h"
#include "signer.h"
#include "store.h"
#include "text.h"

namespace ofdseal {
namespace {

const char kDeviceHelp[] =
    "Usage: ofdseal device COMMAND [DIR] [OPTIONS]\n"
    "\n"
    "Provisions software key devices: folders under DIR that the SKF driver\n"
    "libskfsoft.so serves as key devices when SKFSOFT_DIR names DIR; and\n"
    "lists what the key devices of any SKF driver hold.\n"
    "\n"
    "Commands:\n"
    "  init DIR          create a device with one application and its PINs\n"
    "  import DIR        put a certificate and its key pair in a container\n"
    "  add-seal DIR      store a seal as a file of the application, named as\n"
    "                    the seal list of the seal library expects\n"
    "  list              show the devices of the SKF driver that main.ini\n"
    "                    names (or --driver FILE): their key serials,\n"
    "                    certificates and seal identifiers\n"
    "\n"
    "Run 'ofdseal device COMMAND --help' for the options of a command.\n"
    "\n"
    "Exit codes: 0 success, 2 bad usage, unreadable input or a device that\n"
    "could not be written.\n";

const char kInitHelp[] =
    "Usage: ofdseal device init DIR --device NAME [--app NAME] [--pin PIN]\n"
    "                           [--admin-pin PIN] [--retries N]\n"
    "                           [--manufacturer TEXT] [--issuer TEXT]\n"
    "                           [--label TEXT] [--serial TEXT]\n"
    "\n"
    "Creates the device NAME in DIR (DIR/NAME/device.ini) with the\n"
    "application NAME and its PINs. An existing device is not changed.\n"
    "\n"
    "Options:\n"
    "  --device NAME      the device (a folder name, up to 64 bytes)\n"
    "  --app NAME         the application (default Default, the name the seal\n"
    "                     library opens unless main.ini says otherwise)\n"
    "  --pin PIN          the user PIN (default 12345678)\n"
    "  --admin-pin PIN    the administrator PIN (default 12345678)\n"
    "  --retries N        wrong PINs before one locks, 1 to 255 (default 10)\n"
    "  --manufacturer TEXT\n"
    "                     device information, up to 63 bytes (default "
    "sealkit)\n"
    "  --issuer TEXT      up to 63 bytes (default sealkit)\n"
    "  --label TEXT       up to 31 bytes (default: the device name)\n"
    "  --serial TEXT      the serial number, up to 31 bytes of text or\n"
    "                     hex:HEX for up to 32 bytes (default: the device\n"
    "                     name)\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 success, 2 bad usage, an existing device, or a device\n"
    "that could not be written.\n";

const char kImportHelp[] =
    "Usage: ofdseal device import DIR --device NAME --container NAME\n"
    "                             --cert CERT --key KEY.pem [--app NAME]\n"
    "                             [--enc-cert CERT --enc-key KEY.pem]\n"
    "\n"
    "Puts a signing certificate with its key pair, and optionally an\n"
    "encryption certificate with its key pair, in a container of the\n"
    "application, replacing a container of that name. The container type\n"
    "(RSA or SM2) follows the signing key.\n"
    "\n"
    "Options:\n"
    "  --device NAME      the device, created before with 'device init'\n"
    "  --app NAME         the application (default Default)\n"
    "  --container NAME   the container (up to 64 bytes)\n"
    "  --cert CERT        the signing certificate, DER or PEM\n"
    "  --key KEY.pem      its private key, PEM (PKCS#8 or traditional, not\n"
    "                     encrypted), RSA or SM2; it must belong to --cert\n"
    "  --enc-cert CERT    the encryption certificate, DER or PEM\n"
    "  --enc-key KEY.pem  its private key\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 success, 2 bad usage, unreadable input, a key that does\n"
    "not belong to its certificate, or a device that could not be written.\n";

const char kAddSealHelp[] =
    "Usage: ofdseal device add-seal DIR --device NAME --seal SEAL.esl\n"
    "                               [--app NAME]\n"
    "\n"
    "Stores the seal (DER) as a file of the application. The file is named\n"
    "ZqES00 followed by the Base64 of the seal identifier with '/' written\n"
    "as '-'; the identifier (the seal's esID) must be 32 or 14 hex digits,\n"
    "or text of 16 or 7 bytes.\n"
    "\n"
    "Options:\n"
    "  --device NAME      the device, created before with 'device init'\n"
    "  --app NAME         the application (default Default)\n"
    "  --seal SEAL.esl    the seal\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 success, 2 bad usage, unreadable input, a seal without a\n"
    "usable identifier, or a device that could not be written.\n";

// Files read here are certificates, keys and seals.
const uint64_t kMaxInputSize = 16u << 20;
const char kDefaultApp[] = "Default";
const char kDefaultPin[] = "12345678";
const char kSealFilePrefix[] = "ZqES00";

int Usage(const std::string& command, const std::string& message) {
  std::cerr << "ofdseal device " << command << ": " << EscapeText(message)
            << " (see 'ofdseal device " << command << " --help')\n";
  return kExitUsage;
}

int Failure(const std::string& command, const std::string& message) {
  std::cerr << "ofdseal device " << command << ": " << EscapeText(message)
            << "\n";
  return kExitUsage;
}

// The arguments of a sub-command: options with a value, and DIR.
struct Args {
  bool help = false;
  std::map<std::string, std::string> values;
  std::string dir;
  std::string Get(const std::string& name,
                  const std::string& otherwise = std::string()) const {
    auto it = values.find(name);
    return it == values.end() ? otherwise : it->second;
  }
  bool Has(const std::string& name) const { return values.count(name) != 0; }
};

// `valued` lists the options; `required` those that must be given.
int ParseArgs(const std::string& command, const std::vector<std::string>& argv,
              const std::vector<std::string>& valued,
              const std::vector<std::string>& required, Args* args) {
  std::vector<std::string> operands;
  bool optionsDone = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      args->help = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    bool known = false;
    for (const std::string& option : valued) known = known || option == name;
    if (!known) return Usage(command, "unknown option '" + arg + "'");
    if (!hasValue) {
      if (i + 1 >= argv.size())
        return Usage(command, "option '" + name + "' needs a value");
      value = argv[++i];
    }
    args->values[name] = value;
  }
  if (args->help) return kExitOk;
  if (operands.empty()) return Usage(command, "missing DIR");
  if (operands.size() > 1)
    return Usage(command, "one DIR only, got '" + operands[1] + "' too");
  args->dir = operands[0];
  for (const std::string& option : required)
    if (!args->Has(option)) return Usage(command, "missing " + option);
  return kExitOk;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Bio = std::unique_ptr<BIO, BioFree>;

Bio MemoryBio(const std::string& bytes) {
  return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

int NoPassphrase(char*, int, int, void*) { return -1; }

// A certificate file, DER or PEM, as DER and parsed.
bool ReadCertificate(const std::string& path, Cert* cert, std::string* der,
                     std::string* error) {
  if (!ReadCertificateFile(path, der, error)) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(der->data());
  cert->reset(d2i_X509(nullptr, &p, static_cast<long>(der->size())));
  return static_cast<bool>(*cert);
}

// 1 for RSA, 2 for SM2 (an SM2 key, or an EC key on the SM2 curve), 0 else.
int KeyType(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "RSA")) return skfsoft::kTypeRsa;
  if (EVP_PKEY_is_a(key, "SM2")) return skfsoft::kTypeSm2;
  char group[64] = {0};
  size_t length = 0;
  if (EVP_PKEY_is_a(key, "EC") &&
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group,
                                     sizeof group, &length) == 1 &&
      std::string(group) == "SM2")
    return skfsoft::kTypeSm2;
  return 0;
}

// The same public key: RSA by modulus and exponent, SM2 by the encoded
// point (a key may be typed EC or SM2 with the same point).
bool SamePublicKey(EVP_PKEY* a, EVP_PKEY* b) {
  if (EVP_PKEY_eq(a, b) == 1) return true;
  const int type = KeyType(a);
  if (type == 0 || type != KeyType(b)) return false;
  if (type == skfsoft::kTypeRsa) return false;
  unsigned char pa[133];
  unsigned char pb[133];
  size_t la = 0;
  size_t lb = 0;
  return EVP_PKEY_get_octet_string_param(a, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                         pa, sizeof pa, &la) == 1 &&
         EVP_PKEY_get_octet_string_param(b, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                         pb, sizeof pb, &lb) == 1 &&
         la == lb && std::equal(pa, pa + la, pb);
}

// A private key file (PEM, not encrypted) that belongs to `cert`, written
// again as PKCS#8 PEM.
bool ReadKey(const std::string& path, X509* cert, std::string* pem, int* type,
             std::string* error) {
  std::string bytes;
  if (!ReadWholeFile(path, kMaxInputSize, &bytes, error)) return false;
  Bio in = MemoryBio(bytes);
  Pkey key(
      in ? PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassphrase, nullptr)
         : nullptr);
  OPENSSL_cleanse(&bytes[0], bytes.size());
  if (!key) {
    *error = "'" + path +
             "' is not a private key in PEM (encrypted keys are "
             "not read)";
    return false;
  }
  *type = KeyType(key.get());
  if (*type == 0) {
    *error = "'" + path + "' is neither an RSA nor an SM2 key";
    return false;
  }
  if (!SamePublicKey(X509_get0_pubkey(cert), key.get())) {
    *error = "'" + path + "' is not the key of its certificate";
    return false;
  }
  Bio out(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  if (!out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr,
                                       0, nullptr, nullptr) != 1) {
    *error = "cannot encode the key of '" + path + "'";
    return false;
  }
  const long length = BIO_get_mem_data(out.get(), &data);
  pem->assign(data, static_cast<size_t>(length));
  OPENSSL_cleanse(data, static_cast<size_t>(length));
  return true;
}

bool IsHex(const std::string& text) {
  for (unsigned char c : text)
    if (!std::isxdigit(c)) return false;
  return true;
}

// The file name of a seal on a key device: "ZqES00" and the Base64 of the
// identifier's 16 or 7 bytes, '/' written as '-'. An esID of 32 or 14 hex
// digits stands for those bytes (the seal list shows them so); text of 16 or
// 7 bytes is taken as it is.
bool SealFileName(const std::string& sealId, std::string* name,
                  std::string* error) {
  std::string bytes;
  if ((sealId.size() == 32 || sealId.size() == 14) && IsHex(sealId)) {
    skfsoft::DecodeHex(sealId, &bytes);
  } else if (sealId.size() == 16 || sealId.size() == 7) {
    bytes = sealId;
  } else {
    *error = "the seal identifier '" + sealId +
             "' is neither 32 nor 14 hex digits, nor 16 or 7 bytes";
    return false;
  }
  std::string base64(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  base64.resize(static_cast<size_t>(length));
  for (char& c : base64)
    if (c == '/') c = '-';
  *name = kSealFilePrefix + base64;
  return true;
}

// "hex:0a0b" -> bytes; anything else is the text itself.
bool SerialBytes(const std::string& option, std::string* serial) {
  if (option.compare(0, 4, "hex:") != 0) {
    *serial = option;
    return true;
  }
  return skfsoft::DecodeHex(option.substr(4), serial);
}

int Init(const std::vector<std::string>& argv) {
  Args args;
  int rc = ParseArgs("init", argv,
                     {"--device", "--app", "--pin", "--admin-pin", "--retries",
                      "--manufacturer", "--issuer", "--label", "--serial"},
                     {"--device"}, &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << kInitHelp;
    return kExitOk;
  }
  const std::string device = args.Get("--device");
  const std::string app = args.Get("--app", kDefaultApp);
  std::string serial;
  if (!SerialBytes(args.Get("--serial", device.substr(0, 31)), &serial))
    return Usage("init", "--serial hex: needs an even count of hex digits");
  const std::string retries = args.Get("--retries", "10");
  const auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
  if (retries.empty() || retries.size() > 3 ||
      !std::all_of(retries.begin(), retries.end(), digit))
    return Usage("init", "bad value '" + retries + "' for --retries");
  if (skfsoft::DeviceExists(args.dir, device))
    return Failure("init", "device '" + device + "' exists in " + args.dir);
  std::string error;
  if (!skfsoft::CreateDevice(
          args.dir, device, args.Get("--manufacturer", "sealkit"),
          args.Get("--issuer", "sealkit"),
          args.Get("--label", device.substr(0, 31)), serial, &error) ||
      !skfsoft::CreateApplication(
          args.dir, device, app, args.Get("--pin", kDefaultPin),
          args.Get("--admin-pin", kDefaultPin),
          static_cast<unsigned>(std::stoul(retries)), &error))
    return Failure("init", error);
  std::cout << "created device " << EscapeText(device) << " with application "
            << EscapeText(app) << " in " << EscapeText(args.dir) << "\n";
  return kExitOk;
}

int Import(const std::vector<std::string>& argv) {
  Args args;
  int rc = ParseArgs("import", argv,
                     {"--device", "--app", "--container", "--cert", "--key",
                      "--enc-cert", "--enc-key"},
                     {"--device", "--container", "--cert", "--key"}, &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << kImportHelp;
    return kExitOk;
  }
  if (args.Has("--enc-cert") != args.Has("--enc-key"))
    return Usage("import", "--enc-cert and --enc-key go together");
  std::string error;
  Cert signCert;
  Cert encCert;
  std::string signCertDer, signKeyPem, encCertDer, encKeyPem;
  int type = 0;
  int encType = 0;
  if (!ReadCertificate(args.Get("--cert"), &signCert, &signCertDer, &error) ||
      !ReadKey(args.Get("--key"), signCert.get(), &signKeyPem, &type, &error) ||
      (args.Has("--enc-cert") &&
       (!ReadCertificate(args.Get("--enc-cert"), &encCert, &encCertDer,
                         &error) ||
        !ReadKey(args.Get("--enc-key"), encCert.get(), &encKeyPem, &encType,
                 &error))))
    return Failure("import", error);
  const std::string device = args.Get("--device");
  const std::string container = args.Get("--container");
  const bool ok = skfsoft::PutContainer(
      args.dir, device, args.Get("--app", kDefaultApp), container, type,
      signCertDer, signKeyPem, encCertDer, encKeyPem, &error);
  OPENSSL_cleanse(&signKeyPem[0], signKeyPem.size());
  OPENSSL_cleanse(&encKeyPem[0], encKeyPem.size());
  if (!ok) return Failure("import", error);
  std::cout << "imported " << (type == skfsoft::kTypeSm2 ? "SM2" : "RSA")
            << " key pair into container " << EscapeText(container)
            << " of device " << EscapeText(device) << "\n";
  return kExitOk;
}

int AddSeal(const std::vector<std::string>& argv) {
  Args args;
  int rc = ParseArgs("add-seal", argv, {"--device", "--app", "--seal"},
                     {"--device", "--seal"}, &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << kAddSealHelp;
    return kExitOk;
  }
  std::string seal;
  std::string error;
  const std::string path = args.Get("--seal");
  if (!ReadWholeFile(path, kMaxInputSize, &seal, &error))
    return Failure("add-seal", error);
  // The identifier as the seal library reads it, from any family.
  const auto* der = reinterpret_cast<const unsigned char*>(seal.data());
  unsigned int length = 0;
  unsigned int code = SE_GetESealProperty(
      ES_SEAL_ID, der, static_cast<unsigned int>(seal.size()), nullptr,
      &length);
  std::string sealId(length, '\0');
  if (code == 0)
    code = SE_GetESealProperty(
        ES_SEAL_ID, der, static_cast<unsigned int>(seal.size()),
        reinterpret_cast<unsigned char*>(&sealId[0]), &length);
  if (code != 0)
    return Failure("add-seal", "'" + path + "' is not a seal (" +
                                   std::to_string(code) + ")");
  sealId.resize(length);
  std::string name;
  if (!SealFileName(sealId, &name, &error)) return Failure("add-seal", error);
  const std::string device = args.Get("--device");
  if (!skfsoft::PutFile(args.dir, device, args.Get("--app", kDefaultApp), name,
                        seal, &error))
    return Failure("add-seal", error);
  std::cout << "stored seal " << EscapeText(sealId) << " as file " << name
            << " of device " << EscapeText(device) << "\n";
  return kExitOk;
}

const char kListHelp[] =
    "Usage: ofdseal device list [--driver FILE]\n"
    "\n"
    "Lists, through the seal library, every key device that the SKF driver\n"
    "presents: its description and key serial, the containers of the\n"
    "application the seal library opens (main.ini: appname, default\n"
    "Default) with the subject, serial number and validity of their\n"
    "certificates, its seal files, and the identifiers of all seals.\n"
    "\n"
    "Options:\n"
    "  --driver FILE      the SKF driver library to use (for the software\n"
    "                     key device, libskfsoft.so with SKFSOFT_DIR set);\n"
    "                     default: the one main.ini beside the libraries\n"
    "                     names under dllpath\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 success (also when no device is present), 2 bad usage or\n"
    "no driver that could be bound.\n";

int List(const std::vector<std::string>& argv) {
  DeviceListOptions options;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kListHelp;
      return kExitOk;
    }
    if (arg == "--driver" && i + 1 < argv.size()) {
      options.driver = argv[++i];
    } else if (arg.compare(0, 9, "--driver=") == 0) {
      options.driver = arg.substr(9);
    } else {
      std::cerr << "ofdseal device list: unexpected '" << EscapeText(arg)
                << "' (see 'ofdseal device list --help')\n";
      return kExitUsage;
    }
  }
  return DeviceList(options);
}

}  // namespace

int DeviceCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) {
    std::cerr << "ofdseal device: missing COMMAND (see 'ofdseal device "
                 "--help')\n";
    return kExitUsage;
  }
  const std::string command = argv[0];
  const std::vector<std::string> rest(argv.begin() + 1, argv.end());
  if (command == "-h" || command == "--help") {
    std::cout << kDeviceHelp;
    return kExitOk;
  }
  if (command == "init") return Init(rest);
  if (command == "import") return Import(rest);
  if (command == "add-seal") return AddSeal(rest);
  if (command == "list") return List(rest);
  std::cerr << "ofdseal device: unknown command '" << EscapeText(command)
            << "' (see 'ofdseal device --help')\n";
  return kExitUsage;
}

}  // namespace ofdseal
