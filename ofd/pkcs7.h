// Verification of the PKCS#7 signatures of OFD documents (signatures of
// Type="Sign"): the SignedValue file holds a CMS SignedData, with the
// GM/T 0010 identifiers (signedData 1.2.156.10197.6.1.4.2.2, data
// 1.2.156.10197.6.1.4.2.1) or the RFC 5652 ones (1.2.840.113549.1.7.2 / .1),
// whose signer signed the exact bytes of Signature.xml.
//
// Two shapes are read, in DER or BER:
//  - detached content with signed attributes: messageDigest is the digest
//    (digestAlgorithm: SM3, SHA-256, SHA-1...) of Signature.xml, and the
//    signature covers the DER SET OF the signed attributes;
//  - encapsulated content without signed attributes: the content is the
//    digest of Signature.xml (or Signature.xml itself), and the signature
//    covers the content.
// SM2 signatures are SM2 with SM3 and the identifier 1234567812345678 (value
// r || s or DER SEQUENCE {r, s}); RSA signatures are PKCS#1 v1.5 with the
// digest the identifiers name. The signer certificate comes from the
// SignedData's certificates, by issuer and serial number or by subject key
// identifier. Trust in that certificate (its chain, its validity period) is
// the caller's decision: this layer hands out the certificates for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "KXError.h"

namespace ofd {

struct Pkcs7Result {
  // 0 when the signature verifies. Otherwise:
  //   5025 (KX_ERR_INVALID_P7)      not a usable SignedData: garbage, an
  //                                 unknown algorithm, not one signer...
  //   5026 (KX_ERR_INVALID_P7_ATTR) signed attributes missing, repeated or
  //                                 malformed (contentType, messageDigest,
  //                                 signingTime)
  //   5013 (KX_ERR_DIGEST_MISMATCH) the signed digest or content is not that
  //                                 of these Signature.xml bytes
  //   5032 (KX_ERR_CERT_NOT_FOUND)  no signer certificate: none matches the
  //                                 signer, or the value is a bare signature
  //   5010 (KX_ERR_INVALID_CERT)    the signer certificate's key is unusable
  //   5035 (KX_ERR_VERIFY)          the signature does not verify
  //   5002, 5051, 5009              bad arguments, input over 4 GiB, memory
  uint32_t code = KX_ERR_INVALID_P7;
  std::string reason;  // one line, English, for a report

  // Filled as far as the value was read, whatever the code.
  bool detached = false;          // content not carried in the SignedData
  bool signedAttributes = false;  // the signature covers signed attributes
  std::vector<uint8_t> signerCertificate;  // DER, as carried
  std::string signerSubject;               // "C=CN,O=...,CN=..."
  // Every certificate the SignedData carries (DER, in order, the signer's
  // included), for building the signer's chain.
  std::vector<std::vector<uint8_t>> certificates;
  int64_t signingTime = -1;        // ms since 1970 UTC; -1: no signingTime
  std::string signatureAlgorithm;  // "SM2 with SM3", "RSA with SHA-256"
  std::string signatureAlgorithmOid;
  std::string digestAlgorithm;  // "SM3", "SHA-256", "SHA-1"...
  std::string digestAlgorithmOid;
};

// Verifies the SignedValue bytes against the exact bytes of Signature.xml.
// Never throws; every failure also writes one log line.
Pkcs7Result VerifyPkcs7Signature(const uint8_t* value, size_t valueLen,
                                 const uint8_t* signedXml, size_t signedXmlLen);

}  // namespace ofd
