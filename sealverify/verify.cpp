// SEF_OfdESealSign_Verify: is a seal signature valid for the caller's digest
// of the signed document data? The checks run in a fixed order and the first
// failure decides the result:
//   1. the signature decodes in its family;
//   2. the seal inside it was signed by its maker;
//   3. it carries a signer certificate;
//   4. with verifyCL on, that certificate is acceptable now;
//   5. the certificate parses as X.509;
//   6. the signer is an owner of the seal (checkSealOwner, on by default);
//   7. with checkSealPeriod on, the signing time lies in the seal's period;
//   8. the stored digest equals the caller's digest;
//   9. the signature verifies over the DER of the to-be-signed part, with an
//      algorithm identifier that agrees with the signer's key.
// The seal check of step 2 holds the maker's signature to the same algorithm
// rule. The policy rules (owner, period, algorithms) are gathered below.
#include <openssl/objects.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXTime.h"
#include "SealCore.h"
#include "SealVerify.h"
#include "device/cert_keyless.h"
#include "formats_private.h"
#include "sealverify_internal.h"
#include "tolerant.h"

namespace sv {
namespace {

namespace der = kx::der;
const char kVerify[] = "SEF_OfdESealSign_Verify";
const int kNidSm3 = 920;  // the library's identifier of SM3

const unsigned char* Bytes(const ASN1_STRING* s) {
  return s == nullptr ? nullptr : s->data;
}
unsigned int Length(const ASN1_STRING* s) {
  return s == nullptr || s->length < 0 ? 0u
                                       : static_cast<unsigned int>(s->length);
}

const unsigned char* NonNull(const unsigned char* p) {
  return p != nullptr ? p : reinterpret_cast<const unsigned char*>("");
}

// How a signature is being read: strictly, or with the encoders' slips that
// tolerant.h lists; and, when known, the bytes its signer and its seal maker
// signed, taken from the signature as it stands.
struct Reading {
  bool tolerant = true;
  int family = 0;  // 4 GOV, 3 GIN, else plain
  tolerant::SignedParts signedParts;
};

// ---------------------------------------------------------------------------
// Policy: what makes a cryptographically sound signature acceptable.
// ---------------------------------------------------------------------------

// A certificate of the verification path: the keyless parse for DER (enough
// for the key's algorithm and bytes), the full parser for Base64 and PEM.
struct ParsedCert {
  kx::KeylessX509 keyless;
  shared_ptr<X509> full;
  const X509* get() const { return keyless ? keyless.get() : full.get(); }
};

ParsedCert ParseCert(const ASN1_OCTET_STRING* cert) {
  ParsedCert out;
  out.keyless = kx::ParseKeylessCert(Bytes(cert), Length(cert));
  if (!out.keyless && Length(cert) <= 0x7FFFFFFFu)
    out.full = KXStrToX509(Bytes(cert), static_cast<int>(Length(cert)));
  return out;
}

// Signature algorithm identifiers and what they promise: the key's algorithm
// (KXCertAlgo: 1 RSA, 2 SM2) and, for RSA, the digest inside the DigestInfo.
struct SignatureAlgorithm {
  const char* oid;
  int keyAlgo;
  int digestNid;  // 0: SM2, whose digest is always SM3 with Z
};
const SignatureAlgorithm kSignatureAlgorithms[] = {
    {"1.2.156.10197.1.501", 2, 0},     // SM2 with SM3
    {"1.2.156.10197.1.301.1", 2, 0},   // SM2 signature
    {"1.2.156.10197.1.301", 2, 0},     // SM2 (the key's own identifier)
    {"1.2.840.113549.1.1.5", 1, 64},   // RSA with SHA-1
    {"1.2.840.113549.1.1.14", 1, 675}, // RSA with SHA-224
    {"1.2.840.113549.1.1.11", 1, 672}, // RSA with SHA-256
    {"1.2.840.113549.1.1.12", 1, 673}, // RSA with SHA-384
    {"1.2.840.113549.1.1.13", 1, 674}, // RSA with SHA-512
    {"1.2.156.10197.1.504", 1, 920},   // RSA with SM3
};

std::string OidText(const ASN1_OBJECT* oid) {
  char text[128];
  const int n = oid == nullptr ? -1 : OBJ_obj2txt(text, sizeof text, oid, 1);
  return n <= 0 || n >= static_cast<int>(sizeof text) ? std::string()
                                                      : std::string(text);
}

// True when `identifier` names the algorithm of the certificate's key and, for
// RSA, the digest that the signature's DigestInfo carries. Runs after the
// signature verified, so the certificate parses and the signature opens.
// `parsed` is the certificate's one parse; an RSA key object is added to it
// when needed.
bool AlgorithmAgrees(const Reading& r, const ASN1_OBJECT* identifier,
                     const ASN1_OCTET_STRING* cert, ParsedCert& parsed,
                     const ASN1_BIT_STRING* signature) {
  std::string oid = OidText(identifier);
  // GOV encoders in the field name the signed-data identifier of the
  // cryptographic message syntax standard for SM2 with SM3; read that one as
  // SM2 with SM3, and no other.
  if (r.tolerant && r.family == 4 && oid == "1.2.156.10197.6.1.4.2.2")
    oid = "1.2.156.10197.1.501";
  const SignatureAlgorithm* named = nullptr;
  for (const SignatureAlgorithm& a : kSignatureAlgorithms)
    if (oid == a.oid) named = &a;
  if (named == nullptr) return false;
  if (parsed.get() == nullptr) return false;
  X509_PUBKEY* key = X509_get_X509_PUBKEY(parsed.get());
  if (KXCertAlgo(key) != named->keyAlgo) return false;
  if (named->keyAlgo != 1) return true;
  // The RSA key object is needed to open the signature.
  if (!parsed.full)
    parsed.full = KXStrToX509(Bytes(cert), static_cast<int>(Length(cert)));
  return parsed.full &&
         KXRsaSignatureDigest(X509_get_X509_PUBKEY(parsed.full.get()),
                              NonNull(Bytes(signature)),
                              Length(signature)) == named->digestNid;
}

// A digest of an owner certificate in a seal, with the digest its list names
// (SM3 unless it names another one).
struct OwnerDigest {
  int nid;
  const ASN1_OCTET_STRING* value;
};

// What a seal says about who may sign with it and when.
struct SealTerms {
  std::vector<const ASN1_OCTET_STRING*> ownerCerts;
  std::vector<OwnerDigest> ownerDigests;
  ASN1_STRING* validStart = nullptr;
  ASN1_STRING* validEnd = nullptr;
};

int DigestNidOfOid(const ASN1_OBJECT* oid) {
  const std::string text = OidText(oid);
  if (text == "1.3.14.3.2.26") return 64;
  if (text == "2.16.840.1.101.3.4.2.1") return 672;
  return 920;
}

int DigestNidOfName(const ASN1_STRING* name) {
  std::string text(reinterpret_cast<const char*>(NonNull(Bytes(name))),
                   Length(name));
  for (char& c : text) c = static_cast<char>(std::toupper(c));
  if (text == "SHA1" || text == "SHA-1") return 64;
  if (text == "SHA256" || text == "SHA-256") return 672;
  return 920;
}

SealTerms TermsOf(const kxsv::SESeal_t* seal) {
  SealTerms t;
  const kxsv::SESESPropertyInfo_t* p = seal->esealInfo->propertys;
  if (p == nullptr) return t;
  for (int i = 0; i < sk_ASN1_OCTET_STRING_num(p->certList); ++i)
    t.ownerCerts.push_back(sk_ASN1_OCTET_STRING_value(p->certList, i));
  t.validStart = p->validStart;
  t.validEnd = p->validEnd;
  return t;
}

SealTerms TermsOf(const kxsv::GIN_SESeal_t* seal) {
  SealTerms t;
  const kxsv::GIN_SESESPropertyInfo_t* p = seal->esealInfo->propertys;
  if (p == nullptr) return t;
  const auto* list = p->certList == nullptr ? nullptr : p->certList->certDigest;
  for (int i = 0; i < sk_GIN_CertDigest_t_num(list); ++i) {
    const kxsv::GIN_CertDigest_t* d = sk_GIN_CertDigest_t_value(list, i);
    t.ownerDigests.push_back({DigestNidOfOid(d->algorithm), d->digestMessage});
  }
  t.validStart = p->validStart;
  t.validEnd = p->validEnd;
  return t;
}

SealTerms TermsOf(const kxsv::GOV_SESeal_t* seal) {
  SealTerms t;
  const kxsv::GOV_SESESPropertyInfo_t* p = seal->esealInfo->propertys;
  if (p == nullptr) return t;
  const kxsv::SESCertList_t* list = p->certList;
  if (list != nullptr && list->type == 0) {
    for (int i = 0; i < sk_ASN1_OCTET_STRING_num(list->d.certs); ++i)
      t.ownerCerts.push_back(sk_ASN1_OCTET_STRING_value(list->d.certs, i));
  } else if (list != nullptr && list->type == 1) {
    for (int i = 0; i < sk_CertDigstObj_t_num(list->d.certDigestList); ++i) {
      const kxsv::CertDigstObj_t* d =
          sk_CertDigstObj_t_value(list->d.certDigestList, i);
      t.ownerDigests.push_back({DigestNidOfName(d->ObjType), d->CertDigestValue});
    }
  }
  t.validStart = p->validStart;
  t.validEnd = p->validEnd;
  return t;
}

bool SameBytes(const ASN1_STRING* a, const unsigned char* b, size_t bLength) {
  return Length(a) == bLength &&
         (bLength == 0 || std::memcmp(Bytes(a), b, bLength) == 0);
}

// The signer is an owner of the seal when its certificate is, byte for byte,
// one of the seal's owner certificates, or when one of the seal's owner
// digests is its digest: the SM3 DigestInfo that a key device's certificate
// is compared with, or the bare digest that the list names. A seal travels
// inside every document it signed; without this anyone could sign with a
// copied seal and their own key.
bool SignerOwnsSeal(const SealTerms& terms, const ASN1_OCTET_STRING* cert) {
  for (const ASN1_OCTET_STRING* owner : terms.ownerCerts)
    if (SameBytes(owner, Bytes(cert), Length(cert))) return true;
  if (terms.ownerDigests.empty()) return false;
  auto matches = [](const OwnerDigest& d, const ckxstr& digest) {
    return !digest.empty() &&
           SameBytes(d.value,
                     reinterpret_cast<const unsigned char*>(digest.c_str()),
                     digest.length());
  };
  const ckxstr info = KXDigestASN1ByNID(Bytes(cert), Length(cert), kNidSm3);
  for (const OwnerDigest& d : terms.ownerDigests)
    if (matches(d, info) ||
        matches(d, KXDigestByNID(Bytes(cert), Length(cert), d.nid)))
      return true;
  return false;
}

// 0 when the signing time lies within the seal's validity, both bounds
// inclusive; 5039 when a time cannot be read; 5020 otherwise.
unsigned int CheckSealPeriod(const SealTerms& terms, long signingTime) {
  const long start = KXASN1ToTime2(terms.validStart);
  const long end = KXASN1ToTime2(terms.validEnd);
  if (start == -1 || end == -1 || signingTime == -1) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- seal validity or sign time "
               "error",
               KX_ERR_TIME_FORMAT);
    return KX_ERR_TIME_FORMAT;
  }
  if (signingTime < start || signingTime > end) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- sign time outside the seal "
               "validity",
               KX_ERR_SEAL_EXPIRED);
    return KX_ERR_SEAL_EXPIRED;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The seal check and the signer check.
// ---------------------------------------------------------------------------

// The signature value handed to SEBF_VerifyData: the BIT STRING's bytes, or,
// when reading tolerantly and the key is SM2, r || s read by the tolerant
// rules (the signature still has to verify; only its encoding is forgiven).
struct SignatureValue {
  const unsigned char* data;
  unsigned int length;
  unsigned char rs[64];
};

SignatureValue ValueFor(const Reading& r, const ParsedCert& parsed,
                        const ASN1_BIT_STRING* signature) {
  SignatureValue v{NonNull(Bytes(signature)), Length(signature), {}};
  if (!r.tolerant || signature == nullptr) return v;
  if (parsed.get() == nullptr ||
      KXCertAlgo(X509_get_X509_PUBKEY(parsed.get())) != 2)
    return v;
  const int unused = (signature->flags & ASN1_STRING_FLAG_BITS_LEFT) != 0
                         ? static_cast<int>(signature->flags & 0x07)
                         : 0;
  if (tolerant::Sm2SignatureValue(v.data, v.length, unused, v.rs)) {
    v.data = v.rs;
    v.length = sizeof v.rs;
  }
  return v;
}

// Maker check shared by the three seal families: with verifyCL on, the maker
// certificate must be acceptable (no period check); then the maker's
// signature must verify over `signedPart`. Each routine logs under its own
// name; the certificate-check line prints 5010 whatever code is returned.
struct MakerMessages {
  const char* routine;
  const char* arguments;
  const char* encode;
  const char* certLink;
  const char* verify;
  const char* algorithm;
};

unsigned int CheckMaker(const MakerMessages& m, const Reading& r,
                        const ASN1_OCTET_STRING* cert,
                        const std::vector<uint8_t>& signedPart,
                        const ASN1_OBJECT* algorithm,
                        const ASN1_BIT_STRING* signature) {
  if (GET_VERIFY_CERT_LIST_FLAG() == 1) {
    unsigned int rc = SEBF_VerifyUserCertLink(nullptr, NonNull(Bytes(cert)),
                                              Length(cert), 0, 1);
    if (rc != 0) {
      KX_LOG_ERR(m.routine, m.certLink, KX_ERR_INVALID_CERT);
      return rc;
    }
  }
  // The maker certificate is parsed once here for every check below.
  ParsedCert parsed = ParseCert(cert);
  const SignatureValue value = ValueFor(r, parsed, signature);
  unsigned int rc = SEBF_VerifyData(
      signedPart.data(), static_cast<unsigned int>(signedPart.size()),
      NonNull(Bytes(cert)), Length(cert), value.data, value.length);
  if (rc != 0) {
    KX_LOG_ERR(m.routine, m.verify, rc);
    return rc;
  }
  if (!AlgorithmAgrees(r, algorithm, cert, parsed, signature)) {
    KX_LOG_ERR(m.routine, m.algorithm, KX_ERR_VERIFY);
    return KX_ERR_VERIFY;
  }
  return 0;
}

// Encodes the part of a seal that its maker signed; logs and returns false
// when that fails (no memory), so the signature is never checked over a
// missing buffer.
// Read tolerantly, the bytes the maker signed are taken from the signature as
// they stand (re-encoding a part that was read with a slip forgiven would not
// give them back).
template <class T>
bool EncodeSignedPart(const MakerMessages& m, const Reading& r, const T* part,
                      std::vector<uint8_t>* out) {
  if (r.tolerant && !r.signedParts.sealSigned.empty()) {
    *out = r.signedParts.sealSigned;
    return true;
  }
  if (der::Encode(part, out)) return true;
  KX_LOG_ERR(m.routine, m.encode, KX_ERR_INVALID_SEAL);
  return false;
}

unsigned int ES_VerifySealVaild(const Reading& r, const kxsv::SESeal_t* seal) {
  static const MakerMessages m = {
      "ES_VerifySealVaild", "ES_VerifySealVaild-->%08x -- arguments error",
      "ES_VerifySealVaild-->%08x -- i2d_TBS_Seal() error",
      "ES_VerifySignVaild-->%08x -- SEBF_VerifyUserCertLink() error",
      "ES_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
      "ES_VerifySealVaild-->%08x -- signature algorithm does not match the "
      "maker cert"};
  if (seal == nullptr || seal->esealInfo == nullptr ||
      seal->signInfo == nullptr) {
    KX_LOG_ERR(m.routine, m.arguments, KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  // The maker signed a TBS_Seal assembled from the seal's members; they are
  // borrowed, not copied, and the record only lives for the encoding.
  const kxsv::TBS_Seal_t tbs{seal->esealInfo, seal->signInfo->cert,
                             seal->signInfo->signatureAlgorithm};
  std::vector<uint8_t> signedPart;
  if (!EncodeSignedPart(m, r, &tbs, &signedPart)) return KX_ERR_INVALID_SEAL;
  return CheckMaker(m, r, seal->signInfo->cert, signedPart,
                    seal->signInfo->signatureAlgorithm,
                    seal->signInfo->signData);
}

unsigned int ES_Gin_VerifySealVaild(const Reading& r,
                                    const kxsv::GIN_SESeal_t* seal) {
  static const MakerMessages m = {
      "ES_Gin_VerifySealVaild",
      "ES_Gin_VerifySealVaild-->%08x -- arguments error",
      "ES_Gin_VerifySealVaild-->%08x -- i2d_GIN_SESSealInfo() error",
      "ES_Gin_VerifySealVaild-->%08x -- SEBF_VerifyUserCertLink() error",
      "ES_Gin_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
      "ES_Gin_VerifySealVaild-->%08x -- signature algorithm does not match "
      "the maker cert"};
  if (seal == nullptr || seal->esealInfo == nullptr) {
    KX_LOG_ERR(m.routine, m.arguments, KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  std::vector<uint8_t> signedPart;
  if (!EncodeSignedPart(m, r, seal->esealInfo, &signedPart))
    return KX_ERR_INVALID_SEAL;
  return CheckMaker(m, r, seal->esealInfo->cert, signedPart,
                    seal->esealInfo->signatureAlgorithm, seal->signData);
}

unsigned int ES_Gov_VerifySealVaild(const Reading& r,
                                    const kxsv::GOV_SESeal_t* seal) {
  static const MakerMessages m = {
      "ES_Gov_VerifySealVaild",
      "ES_Gov_VerifySealVaild-->%08x -- arguments error",
      "ES_Gov_VerifySealVaild-->%08x -- i2d_GOV_SESSealInfo() error",
      "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyUserCertLink() error",
      "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
      "ES_Gov_VerifySealVaild-->%08x -- signature algorithm does not match "
      "the maker cert"};
  if (seal == nullptr || seal->esealInfo == nullptr) {
    KX_LOG_ERR(m.routine, m.arguments, KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  std::vector<uint8_t> signedPart;
  if (!EncodeSignedPart(m, r, seal->esealInfo, &signedPart))
    return KX_ERR_INVALID_SEAL;
  return CheckMaker(m, r, seal->cert, signedPart, seal->signatureAlgorithm,
                    seal->signData);
}

// What the signer check needs of a decoded signature, whatever its family.
// Every pointer stays owned by the decoded signature.
struct SignerPart {
  const ASN1_OCTET_STRING* cert;
  const ASN1_STRING* dataHash;
  ASN1_STRING* timeInfo;
  bool generalizedTime;  // GOV: a GeneralizedTime; else text
  const ASN1_OBJECT* algorithm;
  const ASN1_BIT_STRING* signature;
};

// The family-independent tail of the verification (steps 3 to 9). The
// messages differ per family; every line carries the name of the export.
struct SignerMessages {
  const char* noCert;
  const char* digest;
  const char* encode;
  const char* verify;
};

template <class Tbs>
unsigned int VerifySigner(const SignerMessages& m, const VerifySwitches& on,
                          const Reading& r, const SealTerms& terms, const SignerPart& part,
                          const Tbs* tbsSign, const unsigned char* pbData,
                          unsigned int ulDataLen) {
  const ASN1_OCTET_STRING* cert = part.cert;
  if (Length(cert) == 0) {
    KX_LOG_ERR(kVerify, m.noCert, KX_ERR_SEAL_PROPERTY);
    return KX_ERR_SEAL_PROPERTY;
  }
  if (on.verifyCL == 1) {
    unsigned int rc =
        SEBF_VerifyUserCertLink(nullptr, Bytes(cert), Length(cert), 1, 0);
    if (rc != 0) {
      KX_LOG_ERR(kVerify,
                 "SEF_OfdESealSign_Verify==>%08x -- SEBF_VerifyUserCertLink() "
                 "error",
                 KX_ERR_INVALID_CERT);
      return rc;
    }
  }
  // Only whether the certificate parses matters here: the keyless parse
  // answers for DER, the full parser for Base64 and PEM (and confirms a
  // failure).
  ParsedCert parsed = ParseCert(cert);  // once, for every check below
  if (parsed.get() == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- KXStrToX509() error,invalid "
               "cert",
               KX_ERR_INVALID_CERT);
    return KX_ERR_INVALID_CERT;
  }
  if (on.checkSealOwner && !SignerOwnsSeal(terms, cert)) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- signer cert is not an owner "
               "of the seal",
               KX_ERR_CERT_NOT_FOUND);
    return KX_ERR_CERT_NOT_FOUND;
  }
  if (on.checkSealPeriod) {
    unsigned int rc = CheckSealPeriod(
        terms, SigningTimeOf(part.timeInfo, part.generalizedTime));
    if (rc != 0) return rc;
  }
  const ASN1_STRING* dataHash = part.dataHash;
  const unsigned int hashLen = Length(dataHash);
  if (ulDataLen != hashLen ||
      (hashLen != 0 && std::memcmp(pbData, Bytes(dataHash), hashLen) != 0)) {
    KX_LOG_ERR(kVerify, m.digest, KX_ERR_DIGEST_MISMATCH);
    return KX_ERR_DIGEST_MISMATCH;
  }
  // Read tolerantly, the signer's bytes are taken as they stand.
  std::vector<uint8_t> tbs;
  if (r.tolerant && !r.signedParts.tbsSign.empty()) {
    tbs = r.signedParts.tbsSign;
  } else if (!der::Encode(tbsSign, &tbs)) {
    KX_LOG_ERR(kVerify, m.encode, KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  const SignatureValue value = ValueFor(r, parsed, part.signature);
  unsigned int rc =
      SEBF_VerifyData(tbs.data(), static_cast<unsigned int>(tbs.size()),
                      Bytes(cert), Length(cert), value.data, value.length);
  if (rc != 0) {
    KX_LOG_ERR(kVerify, m.verify, rc);
    return rc;
  }
  if (!AlgorithmAgrees(r, part.algorithm, cert, parsed, part.signature)) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- signature algorithm does not "
               "match the signer cert",
               KX_ERR_VERIFY);
    return KX_ERR_VERIFY;
  }
  return 0;
}

// The signature as the caller gave it, and the bytes that are decoded: the
// same, or a copy with the encoders' slips rewritten (tolerant reading).
struct Input {
  const unsigned char* original;
  unsigned int originalLength;
  const unsigned char* decoded;
  unsigned int decodedLength;
};

Reading ReadingFor(const VerifySwitches& on, const Input& in, int family) {
  Reading r;
  r.tolerant = !on.strictDer;
  r.family = family;
  if (r.tolerant)
    r.signedParts = tolerant::SignedPartsOf(in.original, in.originalLength,
                                            family);
  return r;
}

unsigned int VerifySes(const VerifySwitches& on, const Input& in,
                       DetectedSignature& detected, const unsigned char* pbData,
                       unsigned int ulDataLen);

// Each family reads the record the detector decoded.
unsigned int VerifyGov(const VerifySwitches& on, const Input& in,
                       DetectedSignature& detected, const unsigned char* pbData,
                       unsigned int ulDataLen) {
  const kxsv::GOV_SESSignature_t* sig = detected.gov.get();
  // A plain-layout signature whose version says 4 (and so does its seal
  // header): read tolerantly, the plain layout is taken when GOV fails.
  if (!sig && !on.strictDer)
    return VerifySes(on, in, detected, pbData, ulDataLen);
  if (!sig || sig->tbsSign == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- d2i_GOV_SESSignature() error",
               KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  const kxsv::GOV_TBS_Sign_t* tbs = sig->tbsSign;
  const Reading r = ReadingFor(on, in, KX_SEAL_FAMILY_GOV);
  unsigned int rc = ES_Gov_VerifySealVaild(r, tbs->eseal);
  if (rc != 0) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- ES_Gov_VerifySealVaild() error",
               rc);
    return rc;
  }
  static const SignerMessages kGov = {
      "SEF_OfdESealSign_Verify==>%08x -- govSeal cert in tbs sign error",
      "SEF_OfdESealSign_Verify==>%08x --govSeal verify esign datahash error",
      "SEF_OfdESealSign_Verify==>%08x -- i2d_GOV_TBS_Sign() error",
      "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error"};
  const SignerPart part{sig->cert,         tbs->dataHash,
                        tbs->timeInfo,     true,
                        sig->signatureAlgorithm, sig->signature};
  return VerifySigner(kGov, on, r, TermsOf(tbs->eseal), part, tbs, pbData,
                      ulDataLen);
}

unsigned int VerifyGin(const VerifySwitches& on, const Input& in,
                       DetectedSignature& detected, const unsigned char* pbData,
                       unsigned int ulDataLen) {
  const kxsv::GIN_SESSignature_t* sig = detected.gin.get();
  if (!sig || sig->tbsSign == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- d2i_GIN_SESSignature() error",
               KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  const kxsv::GIN_TBS_Sign_t* tbs = sig->tbsSign;
  auto seal = der::Decode<kxsv::GIN_SESeal_t>(Bytes(tbs->eseal),
                                              Length(tbs->eseal));
  if (!seal) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSignDataOnlyCertinKey_OnLine_Net==>%08x -- "
               "d2i_GIN_SESeal() error",
               KX_ERR_INVALID_SEAL);
    return KX_ERR_INVALID_SEAL;
  }
  const Reading r = ReadingFor(on, in, KX_SEAL_FAMILY_GIN);
  unsigned int rc = ES_Gin_VerifySealVaild(r, seal.get());
  if (rc != 0) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- ES_Gin_VerifySealVaild() error",
               rc);
    return rc;
  }
  static const SignerMessages kGin = {
      "SEF_OfdESealSign_Verify==>%08x --ginSeal cert in tbs sign error",
      "SEF_ESealSign_Verify==>%08x --ginSeal verify esign datahash error",
      "ES_VerifySignVaild==>%08x --ginSeal i2d_GIN_TBS_Sign() error",
      "ES_VerifySignVaild==>%08x --ginSeal SEBF_VerifyData() error"};
  const SignerPart part{tbs->cert,          tbs->dataHash,
                        tbs->timeInfo,      false,
                        tbs->signatureAlgorithm, sig->signature};
  return VerifySigner(kGin, on, r, TermsOf(seal.get()), part, tbs, pbData,
                      ulDataLen);
}

unsigned int VerifySes(const VerifySwitches& on, const Input& in,
                       DetectedSignature& detected, const unsigned char* pbData,
                       unsigned int ulDataLen) {
  const kxsv::SESSignature_t* sig = detected.ses.get();
  if (!sig || sig->tbsSign == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- d2i_SESSignature() error",
               KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  const kxsv::TBS_Sign_t* tbs = sig->tbsSign;
  const Reading r = ReadingFor(on, in, 0);
  unsigned int rc = ES_VerifySealVaild(r, tbs->eseal);
  if (rc != 0) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- ES_VerifySignVaild() error", rc);
    return rc;
  }
  static const SignerMessages kSes = {
      "SEF_OfdESealSign_Verify==>%08x -- cert in tbs sign error",
      "SEF_ESealSign_Verify==>%08x -- verify esign datahash error",
      "ES_VerifySignVaild==>%08x -- i2d_TBS_Sign() error",
      "ES_VerifySignVaild==>%08x -- SEBF_VerifyData() error"};
  const SignerPart part{tbs->cert,          tbs->dataHash,
                        tbs->timeInfo,      false,
                        tbs->signatureAlgorithm, sig->signature};
  return VerifySigner(kSes, on, r, TermsOf(tbs->eseal), part, tbs, pbData,
                      ulDataLen);
}

}  // namespace
}  // namespace sv

extern "C" unsigned int SEF_OfdESealSign_Verify(const unsigned char* pbData,
                                                unsigned int ulDataLen,
                                                const unsigned char* pbSignData,
                                                unsigned int ulSignDataLen) {
  using namespace sv;
  KX_LOG(KX_LOG_DEBUG, kVerify, "==>SEF_OfdESealSign_Verify begin ");
  if (pbData == nullptr || pbSignData == nullptr) {
    KX_LOG_ERR(kVerify, "SEF_OfdESealSign_Verify==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  constexpr kx::ExportFailure kFailure =
      SV_EXPORT_FAILURE("SEF_OfdESealSign_Verify");
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    const VerifySwitches on = GetVerifySwitches();
    Input in{pbSignData, ulSignDataLen, pbSignData, ulSignDataLen};
    std::vector<uint8_t> normalized;
    if (!on.strictDer &&
        tolerant::NormalizeSignature(pbSignData, ulSignDataLen, &normalized)) {
      in.decoded = normalized.data();
      in.decodedLength = static_cast<unsigned int>(normalized.size());
    }
    DetectedSignature detected;
    unsigned int rc =
        ES_DetectSealSign(in.decoded, in.decodedLength, &detected);
    if (rc != 0) {
      KX_LOG_ERR(kVerify,
                 "SEF_OfdESealSign_Verify==>%08x -- ES_CheckSealSignVerson() "
                 "error",
                 rc);
      return rc;
    }
    if (detected.version == KX_SEAL_FAMILY_GOV)
      return VerifyGov(on, in, detected, pbData, ulDataLen);
    if (detected.version == KX_SEAL_FAMILY_GIN)
      return VerifyGin(on, in, detected, pbData, ulDataLen);
    return VerifySes(on, in, detected, pbData, ulDataLen);
  });
}
