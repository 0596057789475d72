// The CMS SignedData structures the PKCS#7 verifier reads (RFC 5652; GM/T
// 0010 and PKCS#7 v1.5 use the same layout), on libcrypto's ASN.1 template
// engine, with an owning pointer per record and typed decode/encode helpers.
// The decoder takes BER (indefinite lengths, constructed strings) as well as
// DER. Templates are in pkcs7_der.cpp, in the same order.
#pragma once

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/crypto.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/openssl_ptr.h"

namespace ofd::p7 {

// ContentInfo ::= SEQUENCE {
//   contentType  OBJECT IDENTIFIER,
//   content      [0] EXPLICIT ANY DEFINED BY contentType OPTIONAL }
// Also EncapsulatedContentInfo {eContentType, eContent [0] EXPLICIT OCTET
// STRING OPTIONAL}, which PKCS#7 v1.5 and GM/T 0010 write as a ContentInfo.
struct ContentInfo_t {
  ASN1_OBJECT* contentType;
  ASN1_TYPE* content;
};

// IssuerAndSerialNumber ::= SEQUENCE {
//   issuer        Name,
//   serialNumber  CertificateSerialNumber }
struct IssuerAndSerialNumber_t {
  X509_NAME* issuer;
  ASN1_INTEGER* serialNumber;
};

// SignerIdentifier ::= CHOICE {
//   issuerAndSerialNumber  IssuerAndSerialNumber,
//   subjectKeyIdentifier   [0] IMPLICIT OCTET STRING }
struct SignerIdentifier_t {
  int type;  // kSidIssuerAndSerialNumber or kSidSubjectKeyIdentifier
  union {
    IssuerAndSerialNumber_t* issuerAndSerialNumber;
    ASN1_OCTET_STRING* subjectKeyIdentifier;
  } value;
};
constexpr int kSidIssuerAndSerialNumber = 0;
constexpr int kSidSubjectKeyIdentifier = 1;

// SignerInfo ::= SEQUENCE {
//   version             CMSVersion,
//   sid                 SignerIdentifier,
//   digestAlgorithm     DigestAlgorithmIdentifier,
//   signedAttrs         [0] IMPLICIT SET OF Attribute OPTIONAL,
//   signatureAlgorithm  SignatureAlgorithmIdentifier,
//   signature           OCTET STRING,
//   unsignedAttrs       [1] IMPLICIT SET OF Attribute OPTIONAL }
struct SignerInfo_t {
  ASN1_INTEGER* version;
  SignerIdentifier_t* sid;
  X509_ALGOR* digestAlgorithm;
  STACK_OF(X509_ATTRIBUTE) * signedAttrs;
  X509_ALGOR* signatureAlgorithm;
  ASN1_OCTET_STRING* signature;
  STACK_OF(X509_ATTRIBUTE) * unsignedAttrs;
};

}  // namespace ofd::p7

// The stack type of SignerInfo records, at global scope as libcrypto's stack
// macros require.
using OfdP7SignerInfo = ofd::p7::SignerInfo_t;
DEFINE_STACK_OF(OfdP7SignerInfo)

namespace ofd::p7 {

// SignedData ::= SEQUENCE {
//   version           CMSVersion,
//   digestAlgorithms  SET OF DigestAlgorithmIdentifier,
//   encapContentInfo  EncapsulatedContentInfo,
//   certificates      [0] IMPLICIT SET OF CertificateChoices OPTIONAL,
//   crls              [1] IMPLICIT SET OF RevocationInfoChoice OPTIONAL,
//   signerInfos       SET OF SignerInfo }
// Certificates and CRLs stay undecoded (ANY): one certificate libcrypto
// cannot parse must not make the whole SignedData unreadable.
struct SignedData_t {
  ASN1_INTEGER* version;
  STACK_OF(X509_ALGOR) * digestAlgorithms;
  ContentInfo_t* encapContentInfo;
  STACK_OF(ASN1_TYPE) * certificates;
  STACK_OF(ASN1_TYPE) * crls;
  STACK_OF(OfdP7SignerInfo) * signerInfos;
};

DECLARE_ASN1_ITEM(ContentInfo)
DECLARE_ASN1_ITEM(IssuerAndSerialNumber)
DECLARE_ASN1_ITEM(SignerIdentifier)
DECLARE_ASN1_ITEM(SignerInfo)
DECLARE_ASN1_ITEM(SignedData)
// SET OF Attribute with the universal SET tag: the form whose DER the signer
// signs. Encoding sorts the elements as DER requires.
DECLARE_ASN1_ITEM(SignedAttributesDer)

// Traits<X_t>::item() is the descriptor of X.
template <class T>
struct Traits;
#define OFD_P7_TRAITS(X)                                \
  template <>                                           \
  struct Traits<X##_t> {                                \
    static const ASN1_ITEM* item() { return X##_it(); } \
  };
OFD_P7_TRAITS(ContentInfo)
OFD_P7_TRAITS(IssuerAndSerialNumber)
OFD_P7_TRAITS(SignerIdentifier)
OFD_P7_TRAITS(SignerInfo)
OFD_P7_TRAITS(SignedData)
#undef OFD_P7_TRAITS

template <class T>
struct Deleter {
  void operator()(T* record) const {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(record), Traits<T>::item());
  }
};

// Owns a decoded record and everything it points to.
template <class T>
using Ptr = std::unique_ptr<T, Deleter<T>>;

// Decodes one element from the start of `data` and stores through `consumed`
// how many bytes it took. Null when the bytes do not decode as T.
template <class T>
Ptr<T> Decode(const uint8_t* data, size_t len, size_t* consumed) {
  *consumed = 0;
  if (data == nullptr || len == 0 || len > static_cast<size_t>(LONG_MAX))
    return nullptr;
  const unsigned char* p = data;
  ASN1_VALUE* value =
      ASN1_item_d2i(nullptr, &p, static_cast<long>(len), Traits<T>::item());
  if (value != nullptr) *consumed = static_cast<size_t>(p - data);
  return Ptr<T>(static_cast<T*>(static_cast<void*>(value)));
}

// The DER SET OF the signed attributes (tag 0x31 in place of [0]), as the
// signature covers it. False when they cannot be encoded.
inline bool EncodeSignedAttributes(const STACK_OF(X509_ATTRIBUTE) * attrs,
                                   std::vector<uint8_t>* out) {
  unsigned char* raw = nullptr;
  const int len = ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(attrs),
                                &raw, SignedAttributesDer_it());
  kx::OpenSslBytes owned(raw);
  if (len <= 0 || raw == nullptr) return false;
  out->assign(raw, raw + len);
  return true;
}

}  // namespace ofd::p7
