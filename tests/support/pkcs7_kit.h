// PKCS#7 SignedData values over Signature.xml, as OFD signatures of
// Type="Sign" carry them, for the tests of the sealofd layer.
//
// MakePkcs7 writes the SignedData with the kit's own DER writer (not the
// library's templates) and signs with OpenSSL: SM2 with SM3 and the
// identifier 1234567812345678 set explicitly, or RSA PKCS#1 v1.5. Two shapes:
//
//   fx::Pkcs7Spec detached;                   // signed attributes, SM2
//   fx::Bytes value = fx::MakePkcs7(xml, detached);
//
//   fx::Pkcs7Spec encapsulated;               // content SM3(xml), no
//   encapsulated.encapsulated = true;         // signed attributes
//   encapsulated.rawSignature = true;         // r || s
//
// MakePkcs7WithOpenSsl is OpenSSL's own PKCS7_sign (RFC 5652 identifiers,
// with signed attributes): detached DER, or streamed BER with the content.
#pragma once

#include <openssl/evp.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fixtures.h"

namespace fx {

extern const char* const kOidP7SignedDataGm;     // 1.2.156.10197.6.1.4.2.2
extern const char* const kOidP7DataGm;           // 1.2.156.10197.6.1.4.2.1
extern const char* const kOidP7SignedData;       // 1.2.840.113549.1.7.2
extern const char* const kOidP7Data;             // 1.2.840.113549.1.7.1
extern const char* const kOidSm2Sign;            // 1.2.156.10197.1.301.1
extern const char* const kOidRsaEncryption;      // 1.2.840.113549.1.1.1
extern const char* const kOidSha256;             // 2.16.840.1.101.3.4.2.1
extern const char* const kOidSha1;               // 1.3.14.3.2.26
extern const char* const kOidContentTypeAttr;    // 1.2.840.113549.1.9.3
extern const char* const kOidMessageDigestAttr;  // 1.2.840.113549.1.9.4
extern const char* const kOidSigningTimeAttr;    // 1.2.840.113549.1.9.5

// The default signingTime of the kit: 2024-06-18 02:30:00 UTC.
constexpr time_t kPkcs7SigningTime = 1718677800;

struct Pkcs7Spec {
  // Content in the SignedData, by default without signed attributes;
  // otherwise detached content, by default with signed attributes.
  bool encapsulated = false;
  bool rfcOids = false;  // RFC 5652 content types in place of GM/T 0010's
  std::optional<Credential> signer;      // default: DefaultSigner()
  std::shared_ptr<EVP_PKEY> signingKey;  // signs in place of the signer's key
  RsaHash rsaHash = RsaHash::kSha256;    // the digest an RSA key signs
  // Default: SM3 for an SM2 signer, rsaHash's digest for an RSA signer.
  std::string digestAlgorithm;
  // Default: 1.2.156.10197.1.301.1 for SM2, rsaEncryption for RSA.
  std::string signatureAlgorithm;

  // Signed attributes (detached shape).
  std::optional<Bytes> messageDigest;  // default: digest of Signature.xml
  bool contentTypeAttribute = true;
  std::string contentType;  // its value; default: data (GM/T or RFC)
  bool messageDigestAttribute = true;
  std::optional<time_t> signingTime = kPkcs7SigningTime;  // none: left out
  std::vector<Bytes> extraAttributes;  // DER Attribute, signed too
  // Signed attributes present; default: exactly when detached. With
  // encapsulated content messageDigest is the digest of the content; without
  // attributes the signature covers the content (Signature.xml when
  // detached).
  std::optional<bool> signedAttributes;

  // Encapsulated content; default: digest of Signature.xml.
  std::optional<Bytes> content;
  bool rawSignature = false;  // SM2 value as r || s rather than DER {r, s}

  // Carried certificates (DER, in order); default: the signer's.
  std::optional<std::vector<Bytes>> certificates;
  bool subjectKeyIdentifier = false;  // sid [0] in place of issuer + serial
  std::optional<Bytes> signature;     // replaces the computed value

  // BER: indefinite lengths throughout (certificates stay DER), signed
  // attributes stored in reverse DER order, content and messageDigest as
  // constructed OCTET STRINGs in pieces. The signature still covers the DER
  // SET OF the attributes.
  bool ber = false;
};

// ContentInfo { signedData, SignedData } over the bytes of Signature.xml.
Bytes MakePkcs7(const Bytes& signatureXml,
                const Pkcs7Spec& params = Pkcs7Spec());

// Attribute ::= SEQUENCE { attrType OID, attrValues SET OF ANY } (DER).
Bytes Pkcs7Attribute(const std::string& oid, const std::vector<Bytes>& values);

// OpenSSL's PKCS7_sign with its default signed attributes: detached, or with
// `ber` streamed with indefinite lengths, Signature.xml inside.
Bytes MakePkcs7WithOpenSsl(const Bytes& signatureXml, const Credential& signer,
                           bool ber = false);

// The 64 bytes r || s of a DER SM2 signature SEQUENCE {r, s}.
Bytes Sm2RawSignature(const Bytes& derSignature);

}  // namespace fx
