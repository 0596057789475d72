#include "pkcs7_report.h"

#include <openssl/objects.h>

#include <utility>
#include <vector>

#include "KXCrypto.h"
#include "KXTime.h"
#include "SealVerify.h"
#include "algorithms.h"
#include "properties.h"

namespace ofdseal {
namespace {

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

std::string Der(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The signing time in local time, as the seal signatures' is shown; empty
// when the signature carries none.
std::string SigningTimeText(const ofd::Pkcs7Result& p) {
  if (p.signingTime < 0) return std::string();
  return Str(KXTimeToStr(static_cast<long>(p.signingTime), false, false));
}

// The organisational unit of the certificate's subject, or empty.
std::string UnitOf(const std::string& der) {
  shared_ptr<X509> cert = KXStrToX509(der.data(), static_cast<int>(der.size()));
  if (!cert) return std::string();
  return DisplayText(Str(KXGetX509Name(X509_get_subject_name(cert.get()),
                                       NID_organizationalUnitName)));
}

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

ofd::Pkcs7Result VerifyPkcs7(const LoadedSignature& sig) {
  return ofd::VerifyPkcs7Signature(
      reinterpret_cast<const uint8_t*>(sig.signedValue.data()),
      sig.signedValue.size(), reinterpret_cast<const uint8_t*>(sig.xml.data()),
      sig.xml.size());
}

void CheckPkcs7Signature(const LoadedSignature& sig, const TrustStore& trust,
                         SignatureReport* r) {
  ofd::Pkcs7Result p = VerifyPkcs7(sig);
  r->verified = true;
  r->code = p.code;
  r->algorithm = p.signatureAlgorithm;
  Digest digest;
  if (!p.digestAlgorithm.empty() && DigestByName(p.digestAlgorithm, &digest))
    r->digest = digest.name;
  r->signingTime = SigningTimeText(p);
  const long signingTime =
      p.signingTime < 0 ? -1 : static_cast<long>(p.signingTime);
  const std::string signerDer = Der(p.signerCertificate);
  if (!signerDer.empty()) {
    r->signer = CertificateSubject(signerDer);
    r->signerUnit = UnitOf(signerDer);
    // The other certificates of the SignedData may link the signer to an
    // anchor; they are never anchors themselves.
    std::vector<std::string> carried;
    for (const std::vector<uint8_t>& cert : p.certificates)
      carried.push_back(Der(cert));
    r->signerCert = DescribeCertificate(signerDer, signingTime,
                                        KXGetTime(false), trust, carried);
  }

  // As for seal signatures: a failed check is a problem; a fact that could
  // not be established counts against a signature that verifies.
  const bool verifies = p.code == 0;
  const CertificateReport& c = r->signerCert;
  if (!signerDer.empty() && signingTime >= 0) {
    if (c.validAtSigning == Answer::kNo)
      r->problems.push_back(
          "the signer's certificate was not valid at the signing time");
    else if (c.validAtSigning == Answer::kUnknown && verifies)
      r->problems.push_back(
          "the signer certificate's validity at the signing time is not "
          "readable");
  } else if (!signerDer.empty()) {
    // No signing time: nothing shows the signature was made while the
    // certificate was valid, so it must be valid now.
    if (c.validNow == Answer::kNo)
      r->problems.push_back(
          "the signer's certificate is not valid now, and the signature "
          "carries no signing time");
    else if (c.validNow == Answer::kUnknown && verifies)
      r->problems.push_back(
          "the signer certificate's validity is not readable");
  }
  if (c.chain.status == ChainResult::kUntrusted)
    r->problems.push_back(
        "the signer's certificate does not chain to a trust anchor (" +
        c.chain.reason + ")");
  r->pkcs7 = std::move(p);
}

std::string Pkcs7FormText(const ofd::Pkcs7Result& p) {
  std::string out = p.detached ? "detached content" : "encapsulated content";
  out += p.signedAttributes ? ", signed attributes" : ", no signed attributes";
  if (!p.digestAlgorithm.empty()) out += ", " + p.digestAlgorithm + " digest";
  return out + ", " +
         Count(p.certificates.size(), "certificate", "certificates");
}

std::string Pkcs7ResultText(const ofd::Pkcs7Result& p) {
  std::string out = std::to_string(p.code) + " " + SEF_FormatError(p.code);
  if (p.code != 0 && !p.reason.empty()) out += ": " + p.reason;
  return out;
}

Json Pkcs7ResultJson(const ofd::Pkcs7Result& p) {
  return Json::Object()
      .Set("code", p.code)
      .Set("message", SEF_FormatError(p.code))
      .Set("reason", p.reason);
}

Json Pkcs7Json(const ofd::Pkcs7Result& p) {
  Json certificates = Json::Array();
  for (const std::vector<uint8_t>& cert : p.certificates)
    certificates.Push(CertificateSubject(Der(cert)));
  return Json::Object()
      .Set("detached", p.detached)
      .Set("signed_attributes", p.signedAttributes)
      .Set("digest_algorithm", p.digestAlgorithm)
      .Set("digest_algorithm_oid", p.digestAlgorithmOid)
      .Set("signature_algorithm", p.signatureAlgorithm)
      .Set("signature_algorithm_oid", p.signatureAlgorithmOid)
      .Set("signing_time", SigningTimeText(p))
      .Set("signer", CertificateSubject(Der(p.signerCertificate)))
      .Set("certificates", certificates);
}

std::string Pkcs7InspectText(const ofd::Pkcs7Result& p) {
  std::string out = "  Kind: PKCS#7 signed data\n";
  // Subjects and reasons come from the document: escaped like every value.
  out += "  Result: " + EscapeText(Pkcs7ResultText(p)) + "\n";
  if (!p.digestAlgorithm.empty()) out += "  Form: " + Pkcs7FormText(p) + "\n";
  if (!p.digestAlgorithmOid.empty())
    out += "  Digest algorithm: " +
           (p.digestAlgorithm.empty() ? "unknown" : p.digestAlgorithm) + " (" +
           p.digestAlgorithmOid + ")\n";
  if (!p.signatureAlgorithmOid.empty())
    out += "  Signature algorithm: " +
           (p.signatureAlgorithm.empty() ? "unknown" : p.signatureAlgorithm) +
           " (" + p.signatureAlgorithmOid + ")\n";
  const std::string time = SigningTimeText(p);
  if (!time.empty()) out += "  Signing time: " + time + "\n";
  const std::string signer = Der(p.signerCertificate);
  if (!signer.empty())
    out += "  Signer: " + EscapeText(CertificateSubject(signer)) + "\n";
  for (size_t i = 0; i < p.certificates.size(); ++i) {
    const std::string der = Der(p.certificates[i]);
    const std::string subject = CertificateSubject(der);
    out += "  Certificate " + std::to_string(i + 1) + ": " +
           Count(der.size(), "byte", "bytes") + ", " +
           (subject.empty() ? "not readable" : EscapeText(subject)) +
           (der == signer ? " (the signer's)" : "") + "\n";
  }
  return out;
}

}  // namespace ofdseal
