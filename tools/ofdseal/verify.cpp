#include "verify.h"

#include "KXCrypto.h"
#include "KXString.h"
#include "KXTime.h"
#include "SealVerify.h"
#include "algorithms.h"
#include "ofd.h"
#include "pkcs7_report.h"
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
  PartStatus status =
      ResolvePart(package, {"/", sigDir}, ref.fileRef, &out.path);
  if (status != PartStatus::kOk) {
    out.status = PartStatusText(status);
    return out;
  }
  Digest digest;
  if (!DigestByName(out.checkMethod, &digest)) {
    out.status = "unknown check method";
    return out;
  }
  // The package digests each part once per algorithm, however many
  // references name it.
  std::string actual;
  status = package.Digest(
      out.path, digest.id, [&digest] { return OpenDigestSink(digest); },
      [&digest](const std::string& bytes, std::string* value) {
        unsigned int code = 0;
        return ComputeDigest(digest, bytes, value, &code);
      },
      &actual);
  if (status != PartStatus::kOk) {
    out.status = PartStatusText(status);
    return out;
  }
  if (actual.empty()) {
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

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

// Milliseconds since 1970 of a time as the library renders it
// ("YYYY-MM-DD hh:mm:ss" in local time); -1 when it is not one.
long LocalTimeValue(const std::string& text) {
  if (text.empty()) return -1;
  return KXStrToTime(text.c_str(), static_cast<int>(text.size()), false);
}

std::string LocalTimeText(long ms) {
  return Str(KXTimeToStr(ms, false, false));
}

// Whether `at` lies within [from, to], both inclusive.
Answer Within(long at, long from, long to) {
  if (at == -1 || from == -1 || to == -1) return Answer::kUnknown;
  return from <= at && at <= to ? Answer::kYes : Answer::kNo;
}

}  // namespace

CertificateReport DescribeCertificate(const std::string& der, long signingTime,
                                      long now, const TrustStore& trust,
                                      const std::vector<std::string>& carried) {
  CertificateReport c;
  c.subject = CertificateSubject(der);
  long from = -1, to = -1;
  if (CertificatePeriod(der, &from, &to)) {
    c.notBefore = LocalTimeText(from);
    c.notAfter = LocalTimeText(to);
  } else {
    from = to = -1;
  }
  c.validAtSigning = Within(signingTime, from, to);
  c.validNow = Within(now, from, to);
  c.chain = trust.Check(der, carried);
  return c;
}

namespace {

// Whether the signer's certificate is the seal's owner certificate, or its
// digest is the seal's owner digest: SM3, SHA-256 or SHA-1 of the
// certificate, or the SM3 DigestInfo a key device compares. (The property
// calls give the digest without its algorithm; a match under another
// algorithm than the list names would be a collision.) They show the first
// entry of the seal's owner list.
Answer SignerIsOwner(const std::string& value, const std::string& signerDer) {
  if (signerDer.empty()) return Answer::kUnknown;
  std::string owner;
  if (ReadProperty(true, kSealOwnerCert, value, &owner) == 0 &&
      owner == signerDer)
    return Answer::kYes;
  if (ReadProperty(true, kSealOwnerHash, value, &owner) != 0 || owner.empty())
    return Answer::kNo;
  const auto size = static_cast<uint32_t>(signerDer.size());
  const std::string digests[] = {
      Str(KXDigestByNID(signerDer.data(), size, 920)),
      Str(KXDigestByNID(signerDer.data(), size, 672)),
      Str(KXDigestByNID(signerDer.data(), size, 64)),
      Str(KXDigestASN1ByNID(signerDer.data(), size, 920)),
  };
  for (const std::string& digest : digests)
    if (digest == owner) return Answer::kYes;
  return Answer::kNo;
}

// The seal's validity period at the signing time and both certificates:
// their periods and their chains to the trust anchors.
void CheckSealAndCertificates(const std::string& value,
                              const std::string& signerDer,
                              const TrustStore& trust, SignatureReport* r) {
  std::string text;
  const long signingTime = ReadProperty(true, kSigTime, value, &text) == 0
                               ? LocalTimeValue(text)
                               : -1;
  const long now = KXGetTime(false);
  long start = -1, end = -1;
  if (ReadProperty(true, kSealValidStart, value, &text) == 0) {
    start = LocalTimeValue(text);
    r->sealStart = DisplayText(text);
  }
  if (ReadProperty(true, kSealValidEnd, value, &text) == 0) {
    end = LocalTimeValue(text);
    r->sealEnd = DisplayText(text);
  }
  r->sealValidAtSigning = Within(signingTime, start, end);
  std::string makerDer;
  ReadProperty(true, kSealMakerCert, value, &makerDer);
  r->maker = DescribeCertificate(makerDer, signingTime, now, trust);
  r->signerCert = DescribeCertificate(signerDer, signingTime, now, trust);
  r->factsRead = true;
}

// The rules the tool adds to the library's answer: each failing one is a
// problem, which makes the signature invalid. A fact that could not be
// established counts against a signature the library found valid.
void JudgeSealAndCertificates(SignatureReport* r) {
  const bool libraryValid = r->verified && r->code == 0;
  if (r->sealValidAtSigning == Answer::kNo)
    r->problems.push_back("signed outside the seal's validity period");
  else if (r->sealValidAtSigning == Answer::kUnknown && libraryValid)
    r->problems.push_back(
        "the signing time or the seal's validity period is not readable");
  if (r->signerIsOwner == Answer::kNo)
    r->problems.push_back("the signer is not an owner of the seal");
  if (r->signerCert.validAtSigning == Answer::kNo)
    r->problems.push_back(
        "the signer's certificate was not valid at the signing time");
  else if (r->signerCert.validAtSigning == Answer::kUnknown && libraryValid)
    r->problems.push_back(
        "the signer certificate's validity at the signing time is not "
        "readable");
  if (r->maker.chain.status == ChainResult::kUntrusted)
    r->problems.push_back(
        "the seal maker's certificate does not chain to a trust anchor (" +
        r->maker.chain.reason + ")");
  if (r->signerCert.chain.status == ChainResult::kUntrusted)
    r->problems.push_back(
        "the signer's certificate does not chain to a trust anchor (" +
        r->signerCert.chain.reason + ")");
}

void VerifySignature(Package& package, const LoadedSignature& sig,
                     const TrustStore& trust, SignatureReport* r) {
  r->id = sig.entry.id;
  r->type = sig.entry.type;
  r->document = sig.document;
  r->location = sig.location;
  r->problems = sig.problems;
  const bool isSeal = sig.entry.type == "Seal";
  const bool isSign = sig.entry.type == "Sign";
  const bool supported = isSeal || isSign;
  if (!supported)
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
  if (isSign && sig.hasSignedValue) CheckPkcs7Signature(sig, trust, r);
  if (isSeal && sig.hasSignedValue) {
    std::string certDer;
    ReadSignatureFacts(sig.signedValue, r, &certDer);
    CheckSealAndCertificates(sig.signedValue, certDer, trust, r);
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
    // The library checks the signer against every owner of the seal and
    // answers 5032 otherwise; its answer 0 settles it (the tool ships no
    // main.ini that turns the check off). The property calls show only the
    // first owner, so the tool's own check serves only when the library
    // stopped at another failure first.
    r->signerIsOwner = r->verified && r->code == 0
                           ? Answer::kYes
                           : SignerIsOwner(sig.signedValue, certDer);
    JudgeSealAndCertificates(r);
  }
  bool referencesOk = true;
  for (const ReferenceReport& ref : r->references)
    referencesOk = referencesOk && ref.status == "ok";
  if (!supported) {
    r->verdict = "not supported yet";
  } else {
    const bool valid =
        r->verified && r->code == 0 && referencesOk && r->problems.empty();
    r->verdict = !valid             ? "invalid"
                 : trust.size() > 0 ? "valid"
                                    : "valid (untrusted)";
  }
}

bool IsValid(const std::string& verdict) {
  return verdict == "valid" || verdict == "valid (untrusted)";
}

// One line "  Label:  value"; the value may come from the document, so its
// control characters and line breaks are escaped.
std::string Field(const char* label, const std::string& value) {
  std::string line = std::string("  ") + label + ":";
  line.resize(18, ' ');
  return line + EscapeText(value) + "\n";
}

std::string Joined(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + " " + b;
}

// "valid at the signing time", "not valid now", ...
std::string ValidityText(Answer answer, const char* when) {
  switch (answer) {
    case Answer::kYes:
      return std::string("valid ") + when;
    case Answer::kNo:
      return std::string("not valid ") + when;
    case Answer::kUnknown:
      break;
  }
  return std::string("validity ") + when + " unknown";
}

std::string PeriodText(const std::string& from, const std::string& to) {
  if (from.empty() && to.empty()) return "not readable";
  return (from.empty() ? "?" : from) + " to " + (to.empty() ? "?" : to);
}

std::string ChainText(const ChainResult& chain) {
  switch (chain.status) {
    case ChainResult::kNotChecked:
      return "not checked against trust anchors";
    case ChainResult::kTrusted: {
      if (chain.issuers.empty()) return "trusted, a trust anchor itself";
      std::string out = "trusted via ";
      for (size_t i = 0; i < chain.issuers.size(); ++i)
        out += (i == 0 ? "" : ", then ") + chain.issuers[i] +
               (i < chain.carried.size() && chain.carried[i]
                    ? " (carried in the signature)"
                    : "");
      return out;
    }
    case ChainResult::kUntrusted:
      break;
  }
  return "untrusted: " + chain.reason +
         (chain.at.empty() ? std::string() : " (at " + chain.at + ")");
}

std::string CertificateLines(const char* who, const CertificateReport& c) {
  const std::string name = who;
  return Field((name + " cert").c_str(),
               PeriodText(c.notBefore, c.notAfter) + ", " +
                   ValidityText(c.validAtSigning, "at the signing time") +
                   ", " + ValidityText(c.validNow, "now")) +
         Field((name + " chain").c_str(), ChainText(c.chain));
}

Json AnswerJson(Answer answer) {
  if (answer == Answer::kUnknown) return Json();
  return Json(answer == Answer::kYes);
}

// The number of the signature an entry repeats, or null.
Json SameAsJson(size_t sameAs) {
  return sameAs == 0 ? Json() : Json(static_cast<uint64_t>(sameAs));
}

Json ChainJson(const ChainResult& chain) {
  Json issuers = Json::Array();
  Json carried = Json::Array();
  for (size_t i = 0; i < chain.issuers.size(); ++i) {
    issuers.Push(chain.issuers[i]);
    if (i < chain.carried.size() && chain.carried[i])
      carried.Push(chain.issuers[i]);
  }
  const char* status = chain.status == ChainResult::kTrusted ? "trusted"
                       : chain.status == ChainResult::kUntrusted
                           ? "untrusted"
                           : "not checked";
  return Json::Object()
      .Set("status", status)
      .Set("reason", chain.reason)
      .Set("at", chain.at)
      .Set("issuers", issuers)
      .Set("carried", carried);
}

// The period and chain members of a certificate's object.
Json& SetCertificate(Json& j, const CertificateReport& c) {
  return j.Set("not_before", c.notBefore)
      .Set("not_after", c.notAfter)
      .Set("valid_at_signing", AnswerJson(c.validAtSigning))
      .Set("valid_now", AnswerJson(c.validNow))
      .Set("chain", ChainJson(c.chain));
}

std::string TrustText(const VerifyReport& report) {
  if (report.trustCertificates == 0) return std::string("none, ") + kNotChecked;
  std::string out =
      std::to_string(report.trustCertificates) +
      (report.trustCertificates == 1 ? " certificate" : " certificates") +
      " from ";
  for (size_t i = 0; i < report.trustFiles.size(); ++i)
    out += (i == 0 ? "" : ", ") + report.trustFiles[i];
  return out;
}

}  // namespace

const char kNotChecked[] = "certificates not checked against trust anchors";

bool VerifyPackage(Package& package, const TrustStore& trust,
                   VerifyReport* report, std::string* error) {
  std::vector<DocumentEntry> documents;
  if (!ReadDocuments(package, &documents, error)) return false;
  report->documents = documents.size();
  report->trustCertificates = trust.size();
  report->trustFiles = trust.files();
  for (const DocumentEntry& doc : documents)
    report->problems.insert(report->problems.end(), doc.problems.begin(),
                            doc.problems.end());
  SignatureWalk walk(package, documents);
  SignatureVisit visit;
  while (walk.Next(&visit)) {
    SignatureReport r;
    if (visit.sameAs != 0) {
      // Checked already: the entry only takes the earlier verdict.
      r.id = visit.sig.entry.id;
      r.type = visit.sig.entry.type;
      r.document = visit.sig.document;
      r.location = visit.sig.location;
      r.sameAs = visit.sameAs;
      r.verdict = report->signatures[visit.sameAs - 1].verdict;
    } else {
      VerifySignature(package, visit.sig, trust, &r);
    }
    report->signatures.push_back(std::move(r));
  }
  if (!package.fatal().empty()) {
    *error = package.fatal();
    return false;
  }
  size_t valid = 0;
  for (const SignatureReport& r : report->signatures)
    valid += IsValid(r.verdict) ? 1 : 0;
  if (report->signatures.empty() && report->problems.empty()) {
    report->verdict = "unsigned";
  } else if (valid == report->signatures.size() && report->problems.empty() &&
             valid > 0) {
    // Without trust anchors every valid signature is valid (untrusted).
    report->verdict = trust.size() > 0 ? "valid" : "valid (untrusted)";
  } else {
    report->verdict = "invalid";
  }
  return true;
}

std::string VerifyText(const VerifyReport& report) {
  std::string out = "File: " + EscapeText(report.file) + "\n";
  out += "Trust: " + EscapeText(TrustText(report)) + "\n";
  for (const std::string& p : report.problems)
    out += "Problem: " + EscapeText(p) + "\n";
  const size_t n = report.signatures.size();
  size_t valid = 0;
  for (size_t i = 0; i < n; ++i) {
    const SignatureReport& r = report.signatures[i];
    valid += IsValid(r.verdict) ? 1 : 0;
    out += "Signature " + std::to_string(i + 1) + " of " + std::to_string(n) +
           ": ID " + (r.id.empty() ? "(none)" : EscapeText(r.id)) + ", type " +
           EscapeText(r.type) + "\n";
    if (report.documents > 1) out += Field("Document", r.document);
    if (!r.location.empty()) out += Field("Signature.xml", r.location);
    if (r.sameAs != 0)
      out += Field("Same as", "signature " + std::to_string(r.sameAs));
    if (!r.family.empty() || !r.sealName.empty()) {
      std::string seal = r.family.empty() ? "" : r.family + " family";
      if (!r.sealName.empty()) seal += (seal.empty() ? "" : ", ") + r.sealName;
      if (!r.sealId.empty()) seal += " (ID " + r.sealId + ")";
      out += Field("Seal", seal);
    }
    if (r.factsRead) {
      out += Field("Seal validity", PeriodText(r.sealStart, r.sealEnd) + ", " +
                                        ValidityText(r.sealValidAtSigning,
                                                     "at the signing time"));
      out += Field("Seal maker", r.maker.subject.empty() ? "(not readable)"
                                                         : r.maker.subject);
      out += CertificateLines("Maker", r.maker);
    }
    if (!r.signer.empty()) out += Field("Signer", r.signer);
    if (!r.signerUnit.empty()) out += Field("Signer unit", r.signerUnit);
    if (r.factsRead) {
      out += Field("Seal owner",
                   r.signerIsOwner == Answer::kYes
                       ? "yes, the signer is an owner of the seal"
                   : r.signerIsOwner == Answer::kNo
                       ? "no, the signer is not an owner of the seal"
                       : "unknown, the signer's certificate is missing");
      out += CertificateLines("Signer", r.signerCert);
    } else if (r.pkcs7 && !r.pkcs7->signerCertificate.empty()) {
      out += CertificateLines("Signer", r.signerCert);
    }
    if (!r.signingTime.empty())
      out += Field("Signing time", r.signingTime);
    else if (r.pkcs7 && r.pkcs7->code == 0)
      out += Field("Signing time",
                   "none in the signature; the signer certificate is checked "
                   "as of now");
    if (!r.algorithm.empty() || !r.method.empty())
      out +=
          Field("Algorithm",
                Joined(r.algorithm, r.method.empty() ? std::string()
                                                     : "(" + r.method + ")"));
    if (r.pkcs7 && !r.pkcs7->digestAlgorithm.empty())
      out += Field("PKCS#7", Pkcs7FormText(*r.pkcs7));
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
               EscapeText(ref.path.empty() ? ref.fileRef : ref.path) + "\n";
      }
    }
    if (r.pkcs7)
      out += Field("PKCS#7 result", Pkcs7ResultText(*r.pkcs7));
    else if (r.verified)
      out += Field("Seal signature",
                   std::to_string(r.code) + " " + SEF_FormatError(r.code));
    for (const std::string& p : r.problems) out += Field("Problem", p);
    out += Field("Verdict", r.verdict);
  }
  if (report.verdict == "unsigned") {
    out += "Result: unsigned, the document has no signatures\n";
  } else {
    out +=
        "Result: " + report.verdict + ", " + std::to_string(valid) + " of " +
        std::to_string(n) + (n == 1 ? " signature" : " signatures") + " valid" +
        (report.verdict == "valid (untrusted)" ? std::string("; ") + kNotChecked
                                               : std::string()) +
        "\n";
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
    if (r.pkcs7)
      result = Pkcs7ResultJson(*r.pkcs7);
    else if (r.verified)
      result = Json::Object()
                   .Set("code", r.code)
                   .Set("message", SEF_FormatError(r.code));
    Json maker = Json::Object().Set("subject", r.maker.subject);
    SetCertificate(maker, r.maker);
    Json signer = Json::Object()
                      .Set("subject", r.signer)
                      .Set("unit", r.signerUnit)
                      .Set("owner", AnswerJson(r.signerIsOwner));
    SetCertificate(signer, r.signerCert);
    Json seal;  // null for a PKCS#7 signature, which involves no seal
    if (!r.pkcs7)
      seal = Json::Object()
                 .Set("family", r.family)
                 .Set("name", r.sealName)
                 .Set("id", r.sealId)
                 .Set("valid_start", r.sealStart)
                 .Set("valid_end", r.sealEnd)
                 .Set("valid_at_signing", AnswerJson(r.sealValidAtSigning))
                 .Set("maker", maker);
    signatures.Push(Json::Object()
                        .Set("id", r.id)
                        .Set("type", r.type)
                        .Set("document", r.document)
                        .Set("location", r.location)
                        .Set("same_as", SameAsJson(r.sameAs))
                        .Set("provider", r.provider)
                        .Set("signature_method", r.method)
                        .Set("algorithm", r.algorithm)
                        .Set("digest", r.digest)
                        .Set("signing_time", r.signingTime)
                        .Set("signature_date_time", r.dateTime)
                        .Set("seal", seal)
                        .Set("signer", signer)
                        .Set("pkcs7", r.pkcs7 ? Pkcs7Json(*r.pkcs7) : Json())
                        .Set("references", refs)
                        .Set("result", result)
                        .Set("problems", problems)
                        .Set("verdict", r.verdict));
  }
  Json problems = Json::Array();
  for (const std::string& p : report.problems) problems.Push(p);
  size_t valid = 0;
  for (const SignatureReport& r : report.signatures)
    valid += IsValid(r.verdict) ? 1 : 0;
  Json files = Json::Array();
  for (const std::string& f : report.trustFiles) files.Push(f);
  return Json::Object()
      .Set("file", report.file)
      .Set("verdict", report.verdict)
      .Set("valid_signatures", static_cast<uint64_t>(valid))
      .Set("trust", Json::Object()
                        .Set("checked", report.trustCertificates > 0)
                        .Set("certificates",
                             static_cast<uint64_t>(report.trustCertificates))
                        .Set("files", files))
      .Set("problems", problems)
      .Set("signatures", signatures);
}

}  // namespace ofdseal
