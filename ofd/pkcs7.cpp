// Verification of PKCS#7 SignedData signatures over Signature.xml: the
// structure with libcrypto's ASN.1 decoder, digests through KXDigestByNID
// (SM3 is libKXCommon's own), SM2 through SM2_Verify, RSA PKCS#1 v1.5 by
// recovering the DigestInfo and comparing it with the one the identifiers
// name.
#include "ofd/pkcs7.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <new>
#include <utility>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXSM.h"
#include "KXTime.h"
#include "crypto/openssl_ptr.h"
#include "pkcs7_der.h"

namespace ofd {
namespace {

using Bytes = std::vector<uint8_t>;
using kx::UniquePtr;

const char kFn[] = "VerifyPkcs7Signature";

// Content types, GM/T 0010 and RFC 5652.
const char kOidSignedDataGm[] = "1.2.156.10197.6.1.4.2.2";
const char kOidSignedData[] = "1.2.840.113549.1.7.2";
const char kOidDataGm[] = "1.2.156.10197.6.1.4.2.1";
const char kOidData[] = "1.2.840.113549.1.7.1";
// Signed attributes (PKCS #9).
const char kOidContentType[] = "1.2.840.113549.1.9.3";
const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
const char kOidSigningTime[] = "1.2.840.113549.1.9.5";

// Digests by identifier; `nid` is KXDigestByNID's selector.
struct DigestAlgorithm {
  const char* oid;
  const char* name;
  int nid;
};
const DigestAlgorithm kDigests[] = {
    {"1.2.156.10197.1.401", "SM3", 920},
    {"2.16.840.1.101.3.4.2.1", "SHA-256", 672},
    {"2.16.840.1.101.3.4.2.2", "SHA-384", 673},
    {"2.16.840.1.101.3.4.2.3", "SHA-512", 674},
    {"1.3.14.3.2.26", "SHA-1", 64},
};

enum class KeyKind { kSm2, kRsa };

// Signature algorithms. An SM2 signature digests with SM3 (over Z || M)
// whatever digestAlgorithm says; an RSA identifier either names its digest
// or, as rsaEncryption, leaves it to digestAlgorithm (digestNid 0).
struct SignatureAlgorithm {
  const char* oid;
  KeyKind kind;
  int digestNid;
};
const SignatureAlgorithm kSignatures[] = {
    {"1.2.156.10197.1.301.1", KeyKind::kSm2, 920},  // sm2-1, GM/T 0006
    {"1.2.156.10197.1.501", KeyKind::kSm2, 920},    // SM2 with SM3
    {"1.2.156.10197.1.301", KeyKind::kSm2, 920},    // the SM2 key identifier
    {"1.2.840.113549.1.1.1", KeyKind::kRsa, 0},     // rsaEncryption
    {"1.2.840.113549.1.1.11", KeyKind::kRsa, 672},  // SHA-256 with RSA
    {"1.2.840.113549.1.1.12", KeyKind::kRsa, 673},  // SHA-384 with RSA
    {"1.2.840.113549.1.1.13", KeyKind::kRsa, 674},  // SHA-512 with RSA
    {"1.2.840.113549.1.1.5", KeyKind::kRsa, 64},    // SHA-1 with RSA
    {"1.2.156.10197.1.504", KeyKind::kRsa, 920},    // SM3 with RSA
};

const DigestAlgorithm* DigestByOid(const std::string& oid) {
  for (const DigestAlgorithm& d : kDigests)
    if (oid == d.oid) return &d;
  return nullptr;
}

const DigestAlgorithm* DigestByNid(int nid) {
  for (const DigestAlgorithm& d : kDigests)
    if (nid == d.nid) return &d;
  return nullptr;
}

const SignatureAlgorithm* SignatureByOid(const std::string& oid) {
  for (const SignatureAlgorithm& s : kSignatures)
    if (oid == s.oid) return &s;
  return nullptr;
}

// Dotted text of an object identifier; empty for none.
std::string OidText(const ASN1_OBJECT* oid) {
  if (oid == nullptr) return std::string();
  const int len = OBJ_obj2txt(nullptr, 0, oid, 1);
  if (len <= 0) return std::string();
  std::string text(static_cast<size_t>(len) + 1, '\0');
  OBJ_obj2txt(&text[0], len + 1, oid, 1);
  text.resize(static_cast<size_t>(len));
  return text;
}

bool IsData(const std::string& oid) {
  return oid == kOidData || oid == kOidDataGm;
}

bool Equal(const Bytes& a, const uint8_t* b, size_t len) {
  return a.size() == len && (len == 0 || std::memcmp(a.data(), b, len) == 0);
}

// KXDigestByNID of the bytes (an empty input has a digest too).
bool DigestOf(const uint8_t* data, size_t len, int nid, Bytes* out) {
  static const uint8_t kNothing = 0;
  const ckxstr digest = KXDigestByNID(len == 0 ? &kNothing : data,
                                      static_cast<uint32_t>(len), nid);
  if (digest.empty()) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(digest.c_str());
  out->assign(p, p + digest.length());
  return true;
}

// Sets the outcome; returns false so that a failing step reads
// `return Fail(...)`.
bool Fail(Pkcs7Result* r, uint32_t code, std::string reason) {
  r->code = code;
  r->reason = std::move(reason);
  return false;
}

// A value that decodes as no ContentInfo but has the form of an SM2
// signature: 64 bytes r || s, or exactly one DER SEQUENCE {r, s}.
bool IsBareSignature(const uint8_t* value, size_t len) {
  if (len == 64) return true;
  const unsigned char* p = value;
  UniquePtr<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
  return sig != nullptr && p == value + len;
}

// The three signed attributes the verification rests on.
struct SignedAttributes {
  const ASN1_OBJECT* contentType = nullptr;
  const ASN1_OCTET_STRING* messageDigest = nullptr;
  ASN1_STRING* signingTime = nullptr;
};

// Reads contentType, messageDigest and signingTime: each at most once, with
// exactly one value of its type; the first two are required (RFC 5652,
// 5.3 and 11). Other attributes are signed too but not interpreted.
bool ReadSignedAttributes(const STACK_OF(X509_ATTRIBUTE) * attrs,
                          SignedAttributes* out, Pkcs7Result* r) {
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attrs); ++i) {
    X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(attrs, i);
    const std::string oid = OidText(X509_ATTRIBUTE_get0_object(attr));
    const char* name = oid == kOidContentType     ? "contentType"
                       : oid == kOidMessageDigest ? "messageDigest"
                       : oid == kOidSigningTime   ? "signingTime"
                                                  : nullptr;
    if (name == nullptr) continue;
    const bool seen = oid == kOidContentType     ? out->contentType != nullptr
                      : oid == kOidMessageDigest ? out->messageDigest != nullptr
                                                 : out->signingTime != nullptr;
    if (seen)
      return Fail(r, KX_ERR_INVALID_P7_ATTR,
                  std::string("the signed attribute ") + name +
                      " appears more than once");
    if (X509_ATTRIBUTE_count(attr) != 1)
      return Fail(r, KX_ERR_INVALID_P7_ATTR,
                  std::string("the signed attribute ") + name + " holds " +
                      std::to_string(X509_ATTRIBUTE_count(attr)) +
                      " values; one expected");
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
    const int type = value == nullptr ? -1 : value->type;
    if (oid == kOidContentType && type == V_ASN1_OBJECT) {
      out->contentType = value->value.object;
    } else if (oid == kOidMessageDigest && type == V_ASN1_OCTET_STRING) {
      out->messageDigest = value->value.octet_string;
    } else if (oid == kOidSigningTime &&
               (type == V_ASN1_UTCTIME || type == V_ASN1_GENERALIZEDTIME)) {
      out->signingTime = value->value.asn1_string;
    } else {
      return Fail(r, KX_ERR_INVALID_P7_ATTR,
                  std::string("the signed attribute ") + name +
                      " has a value of the wrong type");
    }
  }
  if (out->contentType == nullptr)
    return Fail(r, KX_ERR_INVALID_P7_ATTR,
                "the signed attributes lack contentType");
  if (out->messageDigest == nullptr)
    return Fail(r, KX_ERR_INVALID_P7_ATTR,
                "the signed attributes lack messageDigest");
  const std::string contentType = OidText(out->contentType);
  if (!IsData(contentType))
    return Fail(
        r, KX_ERR_INVALID_P7_ATTR,
        "the contentType attribute names " + contentType + ", not data");
  return true;
}

// The carried certificate that the signer identifier names, or null. Every
// certificate is also copied into r->certificates.
UniquePtr<X509> FindSignerCertificate(const p7::SignedData_t& sd,
                                      const p7::SignerIdentifier_t& sid,
                                      Pkcs7Result* r) {
  UniquePtr<X509> signer;
  for (int i = 0; i < sk_ASN1_TYPE_num(sd.certificates); ++i) {
    const ASN1_TYPE* choice = sk_ASN1_TYPE_value(sd.certificates, i);
    // Only the Certificate choice is a SEQUENCE; the tagged choices
    // (attribute certificates, other formats) cannot be the signer's.
    if (choice->type != V_ASN1_SEQUENCE || choice->value.sequence == nullptr)
      continue;
    const uint8_t* der = choice->value.sequence->data;
    const int len = choice->value.sequence->length;
    r->certificates.emplace_back(der, der + len);
    if (signer) continue;
    const unsigned char* p = der;
    UniquePtr<X509> cert(d2i_X509(nullptr, &p, len));
    if (!cert) continue;
    bool match = false;
    if (sid.type == p7::kSidIssuerAndSerialNumber) {
      const p7::IssuerAndSerialNumber_t* ias = sid.value.issuerAndSerialNumber;
      match =
          X509_NAME_cmp(X509_get_issuer_name(cert.get()), ias->issuer) == 0 &&
          ASN1_INTEGER_cmp(X509_get0_serialNumber(cert.get()),
                           ias->serialNumber) == 0;
    } else {
      const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(cert.get());
      match = keyId != nullptr &&
              ASN1_OCTET_STRING_cmp(keyId, sid.value.subjectKeyIdentifier) == 0;
    }
    if (match) {
      signer = std::move(cert);
      r->signerCertificate.assign(der, der + len);
    }
  }
  return signer;
}

// SM2 with SM3 and the default identifier over `message`: SM2_Verify
// computes e = SM3(Z || message). The value is r || s or DER {r, s}.
bool VerifySm2(X509* cert, const Bytes& message, const ASN1_OCTET_STRING* sig,
               Pkcs7Result* r) {
  const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(cert);
  shared_ptr<EC_POINT> point =
      key == nullptr
          ? shared_ptr<EC_POINT>()
          : KXStrToECPoint(ASN1_STRING_get0_data(key), ASN1_STRING_length(key));
  if (!point)
    return Fail(r, KX_ERR_INVALID_CERT,
                "the signer certificate's SM2 public key cannot be read");
  const uint8_t* value = ASN1_STRING_get0_data(sig);
  const int len = ASN1_STRING_length(sig);
  shared_ptr<ECDSA_SIG> raw;
  UniquePtr<ECDSA_SIG> der;
  const ECDSA_SIG* rs = nullptr;
  if (len == 64) {
    raw = KXStrToECSig(value, len);
    rs = raw.get();
  } else {
    const unsigned char* p = value;
    der.reset(d2i_ECDSA_SIG(nullptr, &p, len));
    if (der && p == value + len) rs = der.get();
  }
  if (rs == nullptr)
    return Fail(r, KX_ERR_VERIFY,
                "the signature value is neither r || s nor a DER SEQUENCE "
                "{r, s}");
  static const uint8_t kNothing = 0;
  if (SM2_Verify(message.empty() ? &kNothing : message.data(),
                 static_cast<uint32_t>(message.size()), rs, point.get()) != 1)
    return Fail(r, KX_ERR_VERIFY,
                "the SM2 signature does not verify with the signer "
                "certificate");
  return true;
}

// RSA PKCS#1 v1.5: the block the public key recovers must be exactly the
// DigestInfo of `message` under the digest the identifiers name.
bool VerifyRsa(X509* cert, const Bytes& message, const DigestAlgorithm& digest,
               const ASN1_OCTET_STRING* sig, Pkcs7Result* r) {
  EVP_PKEY* key = X509_get0_pubkey(cert);  // owned by the certificate
  if (key == nullptr)
    return Fail(r, KX_ERR_INVALID_CERT,
                "the signer certificate's RSA public key cannot be read");
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  Bytes block(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t blockLen = block.size();
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_verify_recover(
          ctx.get(), block.data(), &blockLen, ASN1_STRING_get0_data(sig),
          static_cast<size_t>(ASN1_STRING_length(sig))) <= 0)
    return Fail(r, KX_ERR_VERIFY,
                "the RSA signature does not verify with the signer "
                "certificate");
  block.resize(blockLen);
  static const uint8_t kNothing = 0;
  const ckxstr expected =
      KXDigestASN1ByNID(message.empty() ? &kNothing : message.data(),
                        static_cast<uint32_t>(message.size()), digest.nid);
  if (expected.empty())
    return Fail(r, KX_ERR_DIGEST, "the digest of the signed data failed");
  if (Equal(block, reinterpret_cast<const uint8_t*>(expected.c_str()),
            expected.length()))
    return true;
  // Name the digest the signer used when it is not the one named here.
  const unsigned char* p = block.data();
  UniquePtr<X509_SIG> info(
      d2i_X509_SIG(nullptr, &p, static_cast<long>(block.size())));
  const X509_ALGOR* alg = nullptr;
  if (info) X509_SIG_get0(info.get(), &alg, nullptr);
  const DigestAlgorithm* used =
      alg == nullptr ? nullptr : DigestByOid(OidText(alg->algorithm));
  if (used != nullptr && used->nid != digest.nid)
    return Fail(r, KX_ERR_VERIFY,
                std::string("the RSA signature carries a ") + used->name +
                    " digest; the identifiers name " + digest.name);
  return Fail(r, KX_ERR_VERIFY,
              "the RSA signature does not verify with the signer certificate");
}

void Verify(const uint8_t* value, size_t valueLen, const uint8_t* xml,
            size_t xmlLen, Pkcs7Result* r) {
  if (value == nullptr || valueLen == 0) {
    Fail(r, KX_ERR_INVALID_P7, "the signature value is empty");
    return;
  }
  if (xml == nullptr && xmlLen != 0) {
    Fail(r, KX_ERR_INVALID_INPUT, "no Signature.xml bytes");
    return;
  }
  // Digests and signatures take 32-bit lengths.
  if (valueLen > UINT32_MAX || xmlLen > UINT32_MAX) {
    Fail(r, KX_ERR_SIZE_LIMIT, "input larger than 4 GiB");
    return;
  }

  size_t consumed = 0;
  p7::Ptr<p7::ContentInfo_t> info =
      p7::Decode<p7::ContentInfo_t>(value, valueLen, &consumed);
  if (!info) {
    if (IsBareSignature(value, valueLen))
      Fail(r, KX_ERR_CERT_NOT_FOUND,
           "cannot be verified: no signer certificate (the value is a bare "
           "signature, not a SignedData)");
    else
      Fail(r, KX_ERR_INVALID_P7, "the value is not a PKCS#7 ContentInfo");
    return;
  }
  if (consumed != valueLen) {
    Fail(r, KX_ERR_INVALID_P7,
         "trailing bytes after the SignedData (" +
             std::to_string(valueLen - consumed) + ")");
    return;
  }
  const std::string contentType = OidText(info->contentType);
  if (contentType != kOidSignedDataGm && contentType != kOidSignedData) {
    Fail(r, KX_ERR_INVALID_P7,
         "the content type " + contentType + " is not SignedData");
    return;
  }
  if (info->content == nullptr || info->content->type != V_ASN1_SEQUENCE ||
      info->content->value.sequence == nullptr) {
    Fail(r, KX_ERR_INVALID_P7, "the ContentInfo carries no SignedData");
    return;
  }
  // The ANY keeps the SignedData's own encoding (DER or BER), whole.
  const ASN1_STRING* body = info->content->value.sequence;
  p7::Ptr<p7::SignedData_t> sd = p7::Decode<p7::SignedData_t>(
      body->data, static_cast<size_t>(body->length), &consumed);
  if (!sd || consumed != static_cast<size_t>(body->length)) {
    Fail(r, KX_ERR_INVALID_P7, "the SignedData does not decode");
    return;
  }
  const int signers = sk_OfdP7SignerInfo_num(sd->signerInfos);
  if (signers != 1) {
    Fail(r, KX_ERR_INVALID_P7,
         "the SignedData has " + std::to_string(signers) +
             " signers; one expected");
    return;
  }
  const p7::SignerInfo_t& si = *sk_OfdP7SignerInfo_value(sd->signerInfos, 0);

  const std::string eContentType = OidText(sd->encapContentInfo->contentType);
  if (!IsData(eContentType)) {
    Fail(r, KX_ERR_INVALID_P7,
         "the signed content type " + eContentType + " is not data");
    return;
  }
  const ASN1_TYPE* eContent = sd->encapContentInfo->content;
  if (eContent != nullptr && eContent->type != V_ASN1_OCTET_STRING) {
    Fail(r, KX_ERR_INVALID_P7, "the signed content is not an OCTET STRING");
    return;
  }
  r->detached = eContent == nullptr;
  r->signedAttributes = si.signedAttrs != nullptr;

  r->digestAlgorithmOid = OidText(si.digestAlgorithm->algorithm);
  const DigestAlgorithm* digest = DigestByOid(r->digestAlgorithmOid);
  if (digest == nullptr) {
    Fail(r, KX_ERR_INVALID_P7,
         "unsupported digest algorithm " + r->digestAlgorithmOid);
    return;
  }
  r->digestAlgorithm = digest->name;
  r->signatureAlgorithmOid = OidText(si.signatureAlgorithm->algorithm);
  const SignatureAlgorithm* algorithm =
      SignatureByOid(r->signatureAlgorithmOid);
  if (algorithm == nullptr) {
    Fail(r, KX_ERR_INVALID_P7,
         "unsupported signature algorithm " + r->signatureAlgorithmOid);
    return;
  }
  if (algorithm->kind == KeyKind::kRsa && algorithm->digestNid != 0 &&
      algorithm->digestNid != digest->nid) {
    Fail(r, KX_ERR_INVALID_P7,
         std::string("the signature algorithm names ") +
             DigestByNid(algorithm->digestNid)->name +
             ", the digest algorithm " + digest->name);
    return;
  }
  r->signatureAlgorithm = algorithm->kind == KeyKind::kSm2
                              ? "SM2 with SM3"
                              : std::string("RSA with ") + digest->name;

  UniquePtr<X509> cert = FindSignerCertificate(*sd, *si.sid, r);
  if (!cert) {
    Fail(r, KX_ERR_CERT_NOT_FOUND,
         "cannot be verified: no signer certificate in the SignedData");
    return;
  }
  const ckxstr subject = KXGetX509Name(X509_get_subject_name(cert.get()), 0);
  r->signerSubject.assign(subject.c_str(), subject.length());
  const int keyAlgo = KXCertAlgo(X509_get_X509_PUBKEY(cert.get()));
  if ((algorithm->kind == KeyKind::kSm2 && keyAlgo != 2) ||
      (algorithm->kind == KeyKind::kRsa && keyAlgo != 1)) {
    Fail(r, KX_ERR_VERIFY,
         std::string("the signer certificate holds no ") +
             (algorithm->kind == KeyKind::kSm2 ? "SM2" : "RSA") +
             " key, as the signature algorithm requires");
    return;
  }

  // The content: Signature.xml itself when detached; when encapsulated,
  // Signature.xml or its digest, which binds the same bytes.
  Bytes xmlDigest;
  if (!DigestOf(xml, xmlLen, digest->nid, &xmlDigest)) {
    Fail(r, KX_ERR_DIGEST, "the digest of Signature.xml failed");
    return;
  }
  Bytes content;
  if (r->detached) {
    content.assign(xml, xml + xmlLen);
  } else {
    const ASN1_OCTET_STRING* octets = eContent->value.octet_string;
    content.assign(octets->data, octets->data + octets->length);
    if (!Equal(content, xml, xmlLen) &&
        !Equal(content, xmlDigest.data(), xmlDigest.size())) {
      Fail(r, KX_ERR_DIGEST_MISMATCH,
           std::string("the signed content is neither Signature.xml nor its ") +
               digest->name + " digest");
      return;
    }
  }

  // With signed attributes the signature covers their DER, and
  // messageDigest binds the content; without, it covers the content.
  Bytes message;
  if (si.signedAttrs != nullptr) {
    SignedAttributes attrs;
    if (!ReadSignedAttributes(si.signedAttrs, &attrs, r)) return;
    if (attrs.signingTime != nullptr) {
      r->signingTime = KXASN1ToTime2(attrs.signingTime);
      if (r->signingTime < 0) {
        Fail(r, KX_ERR_INVALID_P7_ATTR, "the signingTime attribute is no time");
        return;
      }
    }
    Bytes contentDigest;
    if (r->detached) {
      contentDigest = xmlDigest;
    } else if (!DigestOf(content.data(), content.size(), digest->nid,
                         &contentDigest)) {
      Fail(r, KX_ERR_DIGEST, "the digest of the signed content failed");
      return;
    }
    if (!Equal(contentDigest, ASN1_STRING_get0_data(attrs.messageDigest),
               static_cast<size_t>(ASN1_STRING_length(attrs.messageDigest)))) {
      Fail(r, KX_ERR_DIGEST_MISMATCH,
           std::string("messageDigest is not the ") + digest->name +
               " digest of " +
               (r->detached ? "Signature.xml" : "the signed content"));
      return;
    }
    if (!p7::EncodeSignedAttributes(si.signedAttrs, &message)) {
      Fail(r, KX_ERR_INVALID_P7_ATTR,
           "the signed attributes cannot be encoded as DER");
      return;
    }
  } else {
    message = std::move(content);
  }

  const bool verified =
      algorithm->kind == KeyKind::kSm2
          ? VerifySm2(cert.get(), message, si.signature, r)
          : VerifyRsa(cert.get(), message, *digest, si.signature, r);
  if (!verified) return;
  r->code = 0;
  r->reason = "the signature verifies";
}

// Leaves libcrypto's error queue as the caller had it.
class ErrorMark {
 public:
  ErrorMark() { ERR_set_mark(); }
  ~ErrorMark() { ERR_pop_to_mark(); }
  ErrorMark(const ErrorMark&) = delete;
  ErrorMark& operator=(const ErrorMark&) = delete;
};

}  // namespace

Pkcs7Result VerifyPkcs7Signature(const uint8_t* value, size_t valueLen,
                                 const uint8_t* signedXml,
                                 size_t signedXmlLen) {
  Pkcs7Result result;
  try {
    ErrorMark mark;
    Verify(value, valueLen, signedXml, signedXmlLen, &result);
  } catch (const std::bad_alloc&) {
    result = Pkcs7Result();
    result.code = KX_ERR_MEMORY;
    result.reason = "out of memory";
  } catch (...) {
    result = Pkcs7Result();
    result.code = KX_ERR_UNKNOWN;
    result.reason = "internal error";
  }
  if (result.code != 0)
    KX_LOG_ERR(kFn, "VerifyPkcs7Signature-->%u -- %s", result.code,
               result.reason.c_str());
  return result;
}

}  // namespace ofd
