#include "signer.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "KXCrypto.h"
#include "KXLog.h"
#include "KXSM.h"
#include "SKF.h"
#include "SealDevice.h"
#include "cli.h"
#include "skf_driver.h"

namespace ofdseal {
namespace {

// Certificates, keys and PIN texts are small.
const uint64_t kMaxInputSize = 16u << 20;
const int kNidSha256 = 672;  // the library's identifier of SHA-256

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx =
    std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Bignum = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_clear_free>>;
using Sig = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

Cert ParseDer(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  return Cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// The 65 bytes 04 || X || Y of an SM2 certificate, or the DER RSAPublicKey
// of an RSA one: the content of the SubjectPublicKeyInfo BIT STRING.
std::string PublicKeyBits(X509* cert) {
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(cert);
  return bits == nullptr ? std::string()
                         : std::string(reinterpret_cast<char*>(bits->data),
                                       static_cast<size_t>(bits->length));
}

KeyKind CertKind(X509* cert) {
  switch (KXCertAlgo(X509_get_X509_PUBKEY(cert))) {
    case 1:
      return KeyKind::kRsa;
    case 2:
      return KeyKind::kSm2;
    default:
      return KeyKind::kUnknown;
  }
}

// SM2: the key is an SM2 key, or an EC key on the SM2 curve.
KeyKind PrivateKeyKind(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "RSA")) return KeyKind::kRsa;
  if (EVP_PKEY_is_a(key, "SM2")) return KeyKind::kSm2;
  char group[64] = {0};
  size_t length = 0;
  if (EVP_PKEY_is_a(key, "EC") &&
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group,
                                     sizeof group, &length) == 1 &&
      std::string(group) == "SM2")
    return KeyKind::kSm2;
  return KeyKind::kUnknown;
}

int NoPassphrase(char*, int, int, void*) { return -1; }

class PemSigner : public Signer {
 public:
  PemSigner(KeyKind kind, std::string cert, Pkey key)
      : Signer(kind, std::move(cert)), key_(std::move(key)) {}

 protected:
  bool SignPrepared(const std::string& prepared, std::string* value,
                    std::string* error) override {
    return kind() == KeyKind::kSm2 ? SignSm2(prepared, value, error)
                                   : SignRsa(prepared, value, error);
  }

 private:
  // Our SM2 over e with the private scalar.
  bool SignSm2(const std::string& e, std::string* value, std::string* error) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) !=
        1) {
      *error = "the SM2 key holds no private value";
      return false;
    }
    Bignum d(raw);
    Sig sig(ECDSA_SIG_new());
    if (!sig ||
        SM2_do_sign(sig.get(), reinterpret_cast<const unsigned char*>(e.data()),
                    d.get()) != 1) {
      *error = "SM2 signing failed";
      return false;
    }
    *value = Str(KXECSigToStr(sig.get()));
    return !value->empty();
  }

  // PKCS#1 v1.5 type 1 padding of the DigestInfo, then the private-key
  // operation: no digest is set, so the bytes are signed as they are.
  bool SignRsa(const std::string& digestInfo, std::string* value,
               std::string* error) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
    size_t length = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(digestInfo.data());
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, in, digestInfo.size()) !=
            1) {
      *error = "RSA signing failed";
      return false;
    }
    value->assign(length, '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(&(*value)[0]),
                      &length, in, digestInfo.size()) != 1) {
      *error = "RSA signing failed";
      return false;
    }
    value->resize(length);
    return true;
  }

  Pkey key_;
};

// --- Key devices -------------------------------------------------------------

// Slots of the seal library's binding table.
enum Slot {
  kEnumDev = 3,
  kConnectDev = 4,
  kDisConnectDev = 5,
  kVerifyPin = 16,
  kOpenApplication = 22,
  kCloseApplication = 23,
  kEnumContainer = 32,
  kOpenContainer = 33,
  kCloseContainer = 34,
  kGetContainerType = 35,
  kRsaSignData = 42,
  kEccSignData = 49,
  kExportPublicKey = 59,
};

// The device, application and container of a signing key; each is closed
// by the holder, innermost first.
struct DeviceSession {
  std::string name;
  DEVHANDLE device = nullptr;
  HAPPLICATION app = nullptr;
  HCONTAINER container = nullptr;

  DeviceSession() = default;
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  ~DeviceSession() {
    if (container != nullptr)
      Bound<PFN_SKF_CloseContainer>(kCloseContainer)(container);
    if (app != nullptr) Bound<PFN_SKF_CloseApplication>(kCloseApplication)(app);
    if (device != nullptr) Bound<PFN_SKF_DisConnectDev>(kDisConnectDev)(device);
  }
};

// Whether the container's signing public key is the certificate's, by the
// rule of the seal library's key search: the point 04 || X || Y from the
// right-aligned coordinates, or the RSA modulus (and exponent).
bool HoldsKeyOf(HCONTAINER container, X509* cert, KeyKind kind) {
  unsigned char blob[sizeof(RSAPUBLICKEYBLOB)] = {0};
  ULONG length = sizeof blob;
  if (Bound<PFN_SKF_ExportPublicKey>(kExportPublicKey)(container, TRUE, blob,
                                                       &length) != SAR_OK)
    return false;
  if (kind == KeyKind::kSm2) {
    ECCPUBLICKEYBLOB ecc;
    if (length < sizeof ecc) return false;
    std::memcpy(&ecc, blob, sizeof ecc);
    std::string point(1, '\x04');
    point.append(reinterpret_cast<char*>(ecc.XCoordinate) + 32, 32);
    point.append(reinterpret_cast<char*>(ecc.YCoordinate) + 32, 32);
    return point == PublicKeyBits(cert);
  }
  RSAPUBLICKEYBLOB rsa;
  if (length < sizeof rsa) return false;
  std::memcpy(&rsa, blob, sizeof rsa);
  EVP_PKEY* key = X509_get0_pubkey(cert);
  BIGNUM* n = nullptr;
  if (key == nullptr || rsa.BitLen == 0 ||
      rsa.BitLen > 8 * sizeof rsa.Modulus ||
      EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1)
    return false;
  Bignum modulus(n);
  const size_t bytes = rsa.BitLen / 8;
  Bignum fromBlob(BN_bin2bn(rsa.Modulus + sizeof rsa.Modulus - bytes,
                            static_cast<int>(bytes), nullptr));
  return fromBlob && BN_cmp(fromBlob.get(), modulus.get()) == 0;
}

// Opens, in list order, the first container of `app` of the key's type that
// holds the certificate's signing key.
HCONTAINER OpenKeyContainer(HAPPLICATION app, X509* cert, KeyKind kind) {
  std::vector<std::string> names;
  ULONG code = 0;
  ReadNames(
      [app](char* list, ULONG* size) {
        return Bound<PFN_SKF_EnumContainer>(kEnumContainer)(app, list, size);
      },
      &names, &code);
  const ULONG wanted =
      kind == KeyKind::kSm2 ? SKF_CONTAINER_ECC : SKF_CONTAINER_RSA;
  for (const std::string& name : names) {
    HCONTAINER container = nullptr;
    if (Bound<PFN_SKF_OpenContainer>(kOpenContainer)(
            app, const_cast<LPSTR>(name.c_str()), &container) != SAR_OK)
      continue;
    ULONG type = 0;
    if (Bound<PFN_SKF_GetContainerType>(kGetContainerType)(container, &type) ==
            SAR_OK &&
        type == wanted && HoldsKeyOf(container, cert, kind))
      return container;
    Bound<PFN_SKF_CloseContainer>(kCloseContainer)(container);
  }
  return nullptr;
}

// The user PIN: from the environment variable, else from the terminal with
// the echo off. False with a reason when there is neither.
bool ReadPin(const DeviceOptions& options, const std::string& device,
             std::string* pin, std::string* error) {
  const char* value = options.pinVariable.empty()
                          ? nullptr
                          : std::getenv(options.pinVariable.c_str());
  if (value != nullptr) {
    *pin = value;
    return true;
  }
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    *error = "no PIN for key device " + device + ": set " +
             options.pinVariable + " or run on a terminal";
    return false;
  }
  const std::string prompt = "PIN for key device " + device + ": ";
  struct termios saved;
  const bool quiet = tcgetattr(tty, &saved) == 0;
  if (quiet) {
    struct termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(tty, TCSAFLUSH, &silent);
  }
  if (write(tty, prompt.data(), prompt.size()) < 0) {
    // Without the prompt the PIN is still read.
  }
  pin->clear();
  char c = 0;
  while (read(tty, &c, 1) == 1 && c != '\n' && c != '\r' && pin->size() < 256)
    *pin += c;
  if (quiet) tcsetattr(tty, TCSAFLUSH, &saved);
  if (write(tty, "\n", 1) < 0) {
    // The line end only tidies the terminal.
  }
  close(tty);
  return true;
}

class DeviceSigner : public Signer {
 public:
  DeviceSigner(KeyKind kind, std::string cert,
               std::unique_ptr<DeviceSession> session)
      : Signer(kind, std::move(cert)), session_(std::move(session)) {}

 protected:
  bool SignPrepared(const std::string& prepared, std::string* value,
                    std::string* error) override {
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(prepared.data()));
    const auto length = static_cast<ULONG>(prepared.size());
    ULONG code = 0;
    if (kind() == KeyKind::kSm2) {
      // The device signs the e it is given; r and s come right-aligned.
      ECCSIGNATUREBLOB blob{};
      code = Bound<PFN_SKF_ECCSignData>(kEccSignData)(session_->container, data,
                                                      length, &blob);
      if (code == SAR_OK) {
        Sig sig(ECDSA_SIG_new());
        Bignum r(BN_bin2bn(blob.r + sizeof blob.r - 32, 32, nullptr));
        Bignum s(BN_bin2bn(blob.s + sizeof blob.s - 32, 32, nullptr));
        if (sig && r && s && ECDSA_SIG_set0(sig.get(), r.get(), s.get()) == 1) {
          r.release();  // sig owns r and s now
          s.release();
          *value = Str(KXECSigToStr(sig.get()));
          return !value->empty();
        }
        *error = "cannot read the signature of key device " + session_->name;
        return false;
      }
    } else {
      // The device pads the DigestInfo (PKCS#1 v1.5 type 1) and signs it.
      unsigned char out[MAX_RSA_MODULUS_LEN];
      ULONG outLength = sizeof out;
      code = Bound<PFN_SKF_RSASignData>(kRsaSignData)(session_->container, data,
                                                      length, out, &outLength);
      if (code == SAR_OK && outLength <= sizeof out) {
        value->assign(reinterpret_cast<char*>(out), outLength);
        return true;
      }
    }
    *error =
        "key device " + session_->name + " did not sign (" + Code(code) + ")";
    return false;
  }

 private:
  std::unique_ptr<DeviceSession> session_;
};

}  // namespace

bool ReadCertificateFile(const std::string& path, std::string* der,
                         std::string* error) {
  std::string bytes;
  if (!ReadWholeFile(path, kMaxInputSize, &bytes, error)) return false;
  Cert cert;
  if (bytes.find("-----BEGIN") != std::string::npos) {
    Bio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    cert.reset(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                   : nullptr);
  } else {
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* p = start;
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (cert && p != start + bytes.size()) cert.reset();
  }
  unsigned char* out = nullptr;
  const int length = cert ? i2d_X509(cert.get(), &out) : -1;
  if (length <= 0) {
    *error = "'" + path + "' is not a certificate (DER or PEM)";
    return false;
  }
  der->assign(reinterpret_cast<char*>(out), static_cast<size_t>(length));
  OPENSSL_free(out);
  return true;
}

std::string SubjectOf(const std::string& certDer) {
  Cert cert = ParseDer(certDer);
  return cert ? Str(KXGetX509Name(X509_get_subject_name(cert.get()), 0))
              : std::string();
}

const char* Signer::AlgorithmOid() const {
  return kind_ == KeyKind::kSm2 ? "1.2.156.10197.1.501"
                                : "1.2.840.113549.1.1.11";
}

bool Signer::Sign(const std::string& message, std::string* signature,
                  std::string* error) {
  Cert cert = ParseDer(cert_);
  if (!cert) {
    *error = "the signer's certificate does not parse";
    return false;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  const auto length = static_cast<uint32_t>(message.size());
  std::string prepared;
  if (kind_ == KeyKind::kSm2) {
    // e = SM3(Z || message), Z from the default identifier and the
    // certificate's public point.
    const std::string bits = PublicKeyBits(cert.get());
    shared_ptr<EC_POINT> point =
        KXStrToECPoint(bits.data(), static_cast<int>(bits.size()));
    unsigned char e[32];
    if (!point || SM2_do_dgst(e, data, length, point.get()) != 1) {
      *error = "the SM2 certificate's public key is not usable";
      return false;
    }
    prepared.assign(reinterpret_cast<char*>(e), sizeof e);
  } else {
    prepared = Str(KXDigestASN1ByNID(data, length, kNidSha256));
  }
  if (!SignPrepared(prepared, signature, error)) return false;
  if (KXVerifyData(X509_get_X509_PUBKEY(cert.get()), data, length,
                   signature->data(),
                   static_cast<uint32_t>(signature->size())) != 0) {
    *error =
        "the signing key is not the key of the certificate " + SubjectOf(cert_);
    return false;
  }
  return true;
}

std::unique_ptr<Signer> OpenPemSigner(const std::string& certPath,
                                      const std::string& keyPath,
                                      std::string* error) {
  std::string certDer;
  if (!ReadCertificateFile(certPath, &certDer, error)) return nullptr;
  std::string pem;
  if (!ReadWholeFile(keyPath, kMaxInputSize, &pem, error)) return nullptr;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr)
          : nullptr);
  OPENSSL_cleanse(&pem[0], pem.size());
  if (!key) {
    *error = "'" + keyPath +
             "' is not a private key in PEM (encrypted keys are not read)";
    return nullptr;
  }
  const KeyKind kind = PrivateKeyKind(key.get());
  Cert cert = ParseDer(certDer);
  if (kind == KeyKind::kUnknown || !cert || CertKind(cert.get()) != kind) {
    *error = "'" + keyPath + "' is not the key of the certificate '" +
             certPath + "'";
    return nullptr;
  }
  std::unique_ptr<Signer> signer(
      new PemSigner(kind, std::move(certDer), std::move(key)));
  // A signature over a probe shows whether the key is the certificate's.
  std::string probe;
  if (!signer->Sign("ofdseal key check", &probe, error)) {
    *error = "'" + keyPath + "' is not the key of the certificate '" +
             certPath + "'";
    return nullptr;
  }
  return signer;
}

std::unique_ptr<Signer> OpenDeviceSigner(
    const DeviceOptions& options, const std::vector<std::string>& certificates,
    std::string* error) {
  if (!options.driver.empty()) {
    const uint32_t code = SKF_LoadLibrary(options.driver.c_str(), funcList);
    if (code != 0) {
      *error = "cannot bind the SKF driver '" + options.driver + "' (" +
               Code(code) + ")";
      return nullptr;
    }
  }
  if (SE_Initialize() == 0) {
    *error = std::string(
                 "no SKF driver could be bound: name one with "
                 "--driver or with dllpath in ") +
             KXGetDllPath() + "main.ini";
    return nullptr;
  }
  std::vector<std::string> devices;
  ULONG code = 0;
  if (!ReadNames(
          [](char* list, ULONG* size) {
            return Bound<PFN_SKF_EnumDev>(kEnumDev)(TRUE, list, size);
          },
          &devices, &code)) {
    *error = "the SKF driver lists no devices (" + Code(code) + ")";
    return nullptr;
  }
  for (const std::string& der : certificates) {
    Cert cert = ParseDer(der);
    const KeyKind kind = cert ? CertKind(cert.get()) : KeyKind::kUnknown;
    if (kind == KeyKind::kUnknown) continue;
    const int algorithm = kind == KeyKind::kSm2 ? 2 : 1;
    for (const std::string& name : devices) {
      auto session = std::make_unique<DeviceSession>();
      session->name = name;
      if (Bound<PFN_SKF_ConnectDev>(kConnectDev)(
              const_cast<LPSTR>(name.c_str()), &session->device) != SAR_OK ||
          Bound<PFN_SKF_OpenApplication>(kOpenApplication)(
              session->device, const_cast<LPSTR>(GET_ESEAL_APP_NAME()),
              &session->app) != SAR_OK)
        continue;
      // The seal library's key search decides on the device; its container
      // handle is only a marker (closed already), so the container is
      // opened again by the same rule.
      void* marker = nullptr;
      if (SE_FindPrivateSignKey(session->app, cert.get(), algorithm, &marker) !=
          0)
        continue;
      session->container = OpenKeyContainer(session->app, cert.get(), kind);
      if (session->container == nullptr) continue;
      std::string pin;
      if (!ReadPin(options, name, &pin, error)) return nullptr;
      ULONG retries = 0;
      code = Bound<PFN_SKF_VerifyPIN>(kVerifyPin)(
          session->app, USER_TYPE, const_cast<LPSTR>(pin.c_str()), &retries);
      OPENSSL_cleanse(&pin[0], pin.size());
      if (code == SAR_PIN_INCORRECT) {
        *error = "wrong PIN for key device " + name + ": " +
                 std::to_string(retries) +
                 (retries == 1 ? " attempt" : " attempts") + " left";
        return nullptr;
      }
      if (code == SAR_PIN_LOCKED) {
        *error = "the user PIN of key device " + name + " is locked";
        return nullptr;
      }
      if (code != SAR_OK) {
        *error = "key device " + name + " refused the PIN (" + Code(code) + ")";
        return nullptr;
      }
      return std::unique_ptr<Signer>(
          new DeviceSigner(kind, der, std::move(session)));
    }
  }
  *error = devices.empty() ? std::string("no key device is present")
           : certificates.size() == 1
               ? "no key device holds the signing key of " +
                     SubjectOf(certificates[0])
               : std::string(
                     "no key device holds the signing key of any "
                     "owner of the seal");
  return nullptr;
}

}  // namespace ofdseal
