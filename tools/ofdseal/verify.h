// The verify command: every signature of every document of a package, its
// references, and its seal signature through SEF_OfdESealSign_Verify or its
// PKCS#7 signature through the sealofd layer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ofd/pkcs7.h"
#include "package.h"
#include "text.h"
#include "trust.h"

namespace ofdseal {

struct ReferenceReport {
  std::string fileRef;  // as written
  std::string path;     // resolved package path
  std::string checkMethod;
  std::string status;  // "ok", "changed", "missing", ...
};

// A fact the tool could establish, or not.
enum class Answer { kUnknown, kYes, kNo };

// What the report says of the seal maker's and the signer's certificate.
struct CertificateReport {
  std::string subject;
  std::string notBefore;  // local time; empty when not readable
  std::string notAfter;
  Answer validAtSigning = Answer::kUnknown;
  Answer validNow = Answer::kUnknown;
  ChainResult chain;
};

struct SignatureReport {
  std::string id;
  std::string type;
  std::string document;
  std::string location;
  // The number of an earlier signature that this entry names again (its
  // Signature.xml and type): only the lines above and the verdict are set.
  size_t sameAs = 0;
  std::string provider;
  std::string method;       // SignatureMethod as written
  std::string algorithm;    // "SM2 with SM3"
  std::string digest;       // digest of Signature.xml passed to the library
  std::string signingTime;  // from the seal or PKCS#7 signature
  std::string dateTime;     // SignatureDateTime of Signature.xml
  std::string family;
  std::string sealName;
  std::string sealId;
  std::string signer;
  std::string signerUnit;
  std::string sealStart;  // the seal's validity period, local time
  std::string sealEnd;
  Answer sealValidAtSigning = Answer::kUnknown;
  Answer signerIsOwner = Answer::kUnknown;
  CertificateReport maker;
  CertificateReport signerCert;
  bool factsRead = false;  // the lines above were read from the signature
  std::vector<ReferenceReport> references;
  bool verified = false;  // the library was asked
  unsigned int code = 0;  // its answer
  // Type="Sign": what the PKCS#7 verifier read and answered (its code is
  // `code` too); absent for seal signatures.
  std::optional<ofd::Pkcs7Result> pkcs7;
  std::vector<std::string> problems;
  // "valid" (with trust anchors: the certificates chain to one),
  // "valid (untrusted)" (no trust anchors given), "invalid",
  // "not supported yet" (an unknown signature type).
  std::string verdict;
};

struct VerifyReport {
  std::string file;
  size_t documents = 0;
  // The trust anchors: how many certificates, from which files.
  size_t trustCertificates = 0;
  std::vector<std::string> trustFiles;
  std::vector<std::string> problems;
  std::vector<SignatureReport> signatures;
  std::string verdict;  // "valid", "valid (untrusted)", "invalid", "unsigned"
};

extern const char kNotChecked[];  // "certificates not checked against ..."

// The period of a DER certificate, its validity at `signingTime` and now (ms
// since 1970; -1: unknown) and its chain to the trust anchors, through the
// `carried` certificates when they are needed as links.
CertificateReport DescribeCertificate(
    const std::string& der, long signingTime, long now, const TrustStore& trust,
    const std::vector<std::string>& carried = {});

// Verifies the opened package; the certificates of each seal signature are
// checked against `trust` when it holds any. False with a one-line reason
// when it is not an OFD document or was refused while being read.
bool VerifyPackage(Package& package, const TrustStore& trust,
                   VerifyReport* report, std::string* error);

std::string VerifyText(const VerifyReport& report);
Json VerifyJson(const VerifyReport& report);

}  // namespace ofdseal
