// The keys that sign seals and seal signatures: a private key in a PEM file
// with its certificate, or a signing key pair in a container of an SKF key
// device, reached through the seal library's driver binding.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "algorithms.h"

namespace ofdseal {

// A certificate file, DER or PEM, as DER; false with a reason when the file
// is not one certificate.
bool ReadCertificateFile(const std::string& path, std::string* der,
                         std::string* error);

// "C=CN,O=...,CN=..." of a DER certificate, or empty.
std::string SubjectOf(const std::string& certDer);

class Signer {
 public:
  virtual ~Signer() = default;
  KeyKind kind() const { return kind_; }
  // The signer's certificate, DER.
  const std::string& certificate() const { return cert_; }
  // The signature algorithm identifier the signatures carry: SM2 with SM3
  // (1.2.156.10197.1.501) or RSA with SHA-256 (1.2.840.113549.1.1.11).
  const char* AlgorithmOid() const;
  // Signs `message`. SM2: e = SM3(Z || message) with the default identifier
  // 1234567812345678, the value DER SEQUENCE {r, s}. RSA: PKCS#1 v1.5 over
  // the SHA-256 DigestInfo of the message. The value is checked with the
  // certificate before it is handed out, so a key that is not the
  // certificate's never yields a signature.
  bool Sign(const std::string& message, std::string* signature,
            std::string* error);

 protected:
  Signer(KeyKind kind, std::string cert)
      : kind_(kind), cert_(std::move(cert)) {}
  // Signs the prepared input: the 32-byte e of SM2, or the DigestInfo of RSA.
  virtual bool SignPrepared(const std::string& prepared, std::string* value,
                            std::string* error) = 0;

 private:
  KeyKind kind_;
  std::string cert_;
};

// A PEM private key (not encrypted; SM2 or RSA) with its certificate (DER or
// PEM). False with a reason when a file cannot be read or the key is not
// that of the certificate.
std::unique_ptr<Signer> OpenPemSigner(const std::string& certPath,
                                      const std::string& keyPath,
                                      std::string* error);

struct DeviceOptions {
  // The SKF driver to bind; empty: the one main.ini names beside the
  // libraries.
  std::string driver;
  // The environment variable that holds the user PIN; without it the PIN is
  // read from the terminal.
  std::string pinVariable = "OFDSEAL_PIN";
};

// The signing key, on a key device of the driver, of the first certificate
// of `certificates` (DER) whose key a device holds: the device and
// application are those where the seal library's key search
// (SE_FindPrivateSignKey) matches it; the user PIN is verified before the
// signer is handed out. False with a reason (a wrong PIN with the attempts
// left).
std::unique_ptr<Signer> OpenDeviceSigner(
    const DeviceOptions& options, const std::vector<std::string>& certificates,
    std::string* error);

}  // namespace ofdseal
