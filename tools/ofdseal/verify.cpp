#include "verify.h"

#include "KXCrypto.h"
#include "KXString.h"
#include "SealVerify.h"
#include "algorithms.h"
#include "ofd.h"
#include "properties.h"

namespace ofdseal {
namespace {

KeyKind CertificateKeyKind(const std::string& der) {
  if (der.empty()) return KeyKind::kUnknown;
  shared_ptr<X509> cert = KXStrToX509(der.data(), static_cast<int>(der.size()));
  if (!cert) return KeyKind::kUnknown;
  switch (KXCertAlgo(X509_get_X509_PUBKEY(cert.get()))) {
    case 1:
      return KeyKind::kRsa;
    case 2:
      return KeyKind::kSm2;
    default:
      return KeyKind::kUnknown;
  }
}

ReferenceReport CheckReference(Package& package, const std::string& sigDir,
                               const Reference& ref) {
  ReferenceReport out;
  out.fileRef = ref.fileRef;
  // A missing CheckMethod is read as SM3, the digest of the seal standards.
  out.checkMethod = ref.checkMethod.empty() ? "SM3" : ref.checkMethod;
  // FileRef is an absolute package path; a relative one is read from the
  // root first, then from the folder of Signature.xml.
  std::string bytes;
  PartStatus status =
      ReadLocation(package, {"/", sigDir}, ref.fileRef, &out.path, &bytes);
  if (status != PartStatus::kOk) {
    out.status = PartStatusText(status);
    return out;
  }
  Digest digest;
  if (!DigestByName(out.checkMethod, &digest)) {
    out.status = "unknown check method";
    return out;
  }
  std::string actual;
  unsigned int code = 0;
  if (!ComputeDigest(digest, bytes, &actual, &code)) {
    out.status = "digest failed";
    return out;
  }
  ckxstr expected = KXBase64Decode(ref.checkValue.c_str(), -1);
  if (expected.empty()) {
    out.status = "bad check value";
    return out;
  }
  out.status = std::string(expected.c_str(), expected.length()) == actual
                   ? "ok"
                   : "changed";
  return out;
}

// Reads what the report shows from the signature value.
void ReadSignatureFacts(const std::string& value, SignatureReport* r,
                        std::string* certDer) {
  std::string text;
  if (ReadProperty(true, kSigVersion, value, &text) == 0)
    r->family = FamilyName(text);
  if (ReadProperty(true, kSealName, value, &text) == 0)
    r->sealName = DisplayText(text);
  if (ReadProperty(true, kSealId, value, &text) == 0)
    r->sealId = DisplayText(text);
  if (ReadProperty(true, kSigCertOu, value, &text) == 0)
    r->signerUnit = DisplayText(text);
  if (ReadProperty(true, kSigTime, value, &text) == 0)
    r->signingTime = DisplayText(text);
  if (ReadProperty(true, kSigCert, value, certDer) == 0)
    r->signer = CertificateSubject(*certDer);
}

void VerifySignature(Package& package, const LoadedSignature& sig,
                     SignatureReport* r) {
  r->id = sig.entry.id;
  r->type = sig.entry.type;
  r->document = sig.document;
  r->location = sig.location;
  r->problems = sig.problems;
  const bool supported = sig.entry.type == "Seal";
  if (!supported && sig.entry.type != "Sign")
    r->problems.push_back("unknown signature type " + sig.entry.type);
  if (sig.parsed) {
    r->provider = sig.file.provider;
    r->method = sig.file.method;
    r->dateTime = sig.file.dateTime;
    for (const Reference& ref : sig.file.references)
      r->references.push_back(
          CheckReference(package, DirectoryOf(sig.location), ref));
    if (sig.file.references.empty())
      r->problems.push_back("the signature covers no part of the document");
  }
  if (supported && sig.hasSignedValue) {
    std::string certDer;
    ReadSignatureFacts(sig.signedValue, r, &certDer);
    // The seal signature signs the digest of the exact bytes of
    // Signature.xml: SM3 for an SM2 signer, the digest of the signature
    // method for an RSA signer.
    KeyKind methodKind = KeyKind::kUnknown;
    Digest methodDigest;
    const bool methodKnown =
        SignatureMethodByName(sig.file.method, &methodKind, &methodDigest);
    KeyKind kind = CertificateKeyKind(certDer);
    Digest digest;
    bool haveDigest = true;
    if (kind == KeyKind::kSm2) {
      DigestByName("sm3", &digest);
    } else if (kind == KeyKind::kRsa) {
      haveDigest = methodKnown && methodKind == KeyKind::kRsa;
      if (haveDigest) {
        digest = methodDigest;
      } else {
        r->problems.push_back("signature method '" + sig.file.method +
                              "' names no digest for an RSA signer");
      }
    } else if (methodKnown) {
      kind = methodKind;
      digest = methodDigest;
    } else {
      DigestByName("sm3", &digest);
    }
    if (haveDigest) {
      r->algorithm = AlgorithmText(kind, digest);
      r->digest = digest.name;
      std::string hash;
      unsigned int code = 0;
      if (!ComputeDigest(digest, sig.xml, &hash, &code)) {
        r->problems.push_back("digest of Signature.xml failed");
      } else {
        static const unsigned char kEmpty = 0;
        const unsigned char* value =
            sig.signedValue.empty() ? &kEmpty
                                    : reinterpret_cast<const unsigned char*>(
                                          sig.signedValue.data());
        r->code = SEF_OfdESealSign_Verify(
            reinterpret_cast<const unsigned char*>(hash.data()),
            static_cast<unsigned int>(hash.size()), value,
            static_cast<unsigned int>(sig.signedValue.size()));
        r->verified = true;
      }
    }
  }
  bool referencesOk = true;
  for (const ReferenceReport& ref : r->references)
    referencesOk = referencesOk && ref.status == "ok";
  if (!supported) {
    r->verdict = "not supported yet";
  } else {
    r->verdict =
        r->verified && r->code == 0 && referencesOk && r->problems.empty()
            ? "valid"
            : "invalid";
  }
}

std::string Field(const char* label, const std::string& value) {
  std::string line = std::string("  ") + label + ":";
  line.resize(18, ' ');
  return line + value + "\n";
}

std::string Joined(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + " " + b;
}

}  // namespace

bool VerifyPackage(Package& package, VerifyReport* report, std::string* error) {
  std::vector<DocumentEntry> documents;
  if (!ReadDocuments(package, &documents, error)) return false;
  report->documents = documents.size();
  for (const DocumentEntry& doc : documents) {
    report->problems.insert(report->problems.end(), doc.problems.begin(),
                            doc.problems.end());
    for (const SignatureEntry& entry : doc.signatures) {
      SignatureReport r;
      VerifySignature(package, LoadSignature(package, doc, entry), &r);
      report->signatures.push_back(std::move(r));
    }
  }
  if (!package.fatal().empty()) {
    *error = package.fatal();
    return false;
  }
  size_t valid = 0;
  for (const SignatureReport& r : report->signatures)
    valid += r.verdict == "valid" ? 1 : 0;
  if (report->signatures.empty() && report->problems.empty()) {
    report->verdict = "unsigned";
  } else {
    report->verdict = valid == report->signatures.size() &&
                              report->problems.empty() && valid > 0
                          ? "valid"
                          : "invalid";
  }
  return true;
}

std::string VerifyText(const VerifyReport& report) {
  std::string out = "File: " + report.file + "\n";
  for (const std::string& p : report.problems) out += "Problem: " + p + "\n";
  const size_t n = report.signatures.size();
  size_t valid = 0;
  for (size_t i = 0; i < n; ++i) {
    const SignatureReport& r = report.signatures[i];
    valid += r.verdict == "valid" ? 1 : 0;
    out += "Signature " + std::to_string(i + 1) + " of " + std::to_string(n) +
           ": ID " + (r.id.empty() ? "(none)" : r.id) + ", type " + r.type +
           "\n";
    if (report.documents > 1) out += Field("Document", r.document);
    if (!r.location.empty()) out += Field("Signature.xml", r.location);
    if (!r.family.empty() || !r.sealName.empty()) {
      std::string seal = r.family.empty() ? "" : r.family + " family";
      if (!r.sealName.empty()) seal += (seal.empty() ? "" : ", ") + r.sealName;
      if (!r.sealId.empty()) seal += " (ID " + r.sealId + ")";
      out += Field("Seal", seal);
    }
    if (!r.signer.empty()) out += Field("Signer", r.signer);
    if (!r.signerUnit.empty()) out += Field("Signer unit", r.signerUnit);
    if (!r.signingTime.empty()) out += Field("Signing time", r.signingTime);
    if (!r.algorithm.empty() || !r.method.empty())
      out +=
          Field("Algorithm",
                Joined(r.algorithm, r.method.empty() ? std::string()
                                                     : "(" + r.method + ")"));
    if (!r.provider.empty()) out += Field("Provider", r.provider);
    if (!r.references.empty()) {
      size_t ok = 0;
      for (const ReferenceReport& ref : r.references)
        ok += ref.status == "ok" ? 1 : 0;
      out += Field("References", std::to_string(ok) + " of " +
                                     std::to_string(r.references.size()) +
                                     " unchanged");
      for (const ReferenceReport& ref : r.references) {
        std::string status = ref.status;
        status.resize(status.size() < 8 ? 8 : status.size(), ' ');
        out += "    " + status + " " +
               (ref.path.empty() ? ref.fileRef : ref.path) + "\n";
      }
    }
    if (r.verified)
      out += Field("Seal signature",
                   std::to_string(r.code) + " " + SEF_FormatError(r.code));
    for (const std::string& p : r.problems) out += Field("Problem", p);
    out += Field("Verdict", r.verdict);
  }
  if (report.verdict == "unsigned") {
    out += "Result: unsigned, the document has no signatures\n";
  } else {
    out += "Result: " + report.verdict + ", " + std::to_string(valid) + " of " +
           std::to_string(n) + (n == 1 ? " signature" : " signatures") +
           " valid\n";
  }
  return out;
}

Json VerifyJson(const VerifyReport& report) {
  Json signatures = Json::Array();
  for (const SignatureReport& r : report.signatures) {
    Json refs = Json::Array();
    for (const ReferenceReport& ref : r.references)
      refs.Push(Json::Object()
                    .Set("file_ref", ref.fileRef)
                    .Set("path", ref.path)
                    .Set("check_method", ref.checkMethod)
                    .Set("status", ref.status));
    Json problems = Json::Array();
    for (const std::string& p : r.problems) problems.Push(p);
    Json result;
    if (r.verified)
      result = Json::Object()
                   .Set("code", r.code)
                   .Set("message", SEF_FormatError(r.code));
    signatures.Push(Json::Object()
                        .Set("id", r.id)
                        .Set("type", r.type)
                        .Set("document", r.document)
                        .Set("location", r.location)
                        .Set("provider", r.provider)
                        .Set("signature_method", r.method)
                        .Set("algorithm", r.algorithm)
                        .Set("digest", r.digest)
                        .Set("signing_time", r.signingTime)
                        .Set("signature_date_time", r.dateTime)
                        .Set("seal", Json::Object()
                                         .Set("family", r.family)
                                         .Set("name", r.sealName)
                                         .Set("id", r.sealId))
                        .Set("signer", Json::Object()
                                           .Set("subject", r.signer)
                                           .Set("unit", r.signerUnit))
                        .Set("references", refs)
                        .Set("result", result)
                        .Set("problems", problems)
                        .Set("verdict", r.verdict));
  }
  Json problems = Json::Array();
  for (const std::string& p : report.problems) problems.Push(p);
  size_t valid = 0;
  for (const SignatureReport& r : report.signatures)
    valid += r.verdict == "valid" ? 1 : 0;
  return Json::Object()
      .Set("file", report.file)
      .Set("verdict", report.verdict)
      .Set("valid_signatures", static_cast<uint64_t>(valid))
      .Set("problems", problems)
      .Set("signatures", signatures);
}

}  // namespace ofdseal
