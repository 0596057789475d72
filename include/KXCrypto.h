// Certificate, key, digest and signature helpers of libKXCommon. C callers
// get the plain-named key and signature checks; C++ callers also get the
// reference-counted holder in which the helpers hand out libcrypto objects
// (KXSharedPtr.h) and the helpers themselves.
#pragma once

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

#include "kx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// 1 RSA, 2 SM2, 3 other elliptic curve, 0 other algorithm, 5002 null.
KX_EXPORT int KXCertAlgo(const X509_PUBKEY* key);
// 0 when the signature verifies; 5002, 5001, 5010 or 5035 otherwise. RSA
// signatures over MD5 or SHA-0 DigestInfos are refused (5035); an SM2
// signature value in DER must be exactly one SEQUENCE { r, s }.
KX_EXPORT uint32_t KXVerifyData(const X509_PUBKEY* key, const void* data,
                                uint32_t dataLength, const void* signature,
                                uint32_t signatureLength);
// 0 when the issuer's key verifies the certificate's signature; 5002, 5010
// or 5011 otherwise.
KX_EXPORT int KXVerifyX509(const X509* cert, const X509_PUBKEY* issuerKey);

#ifdef __cplusplus
}

#include "KXSharedPtr.h"
#include "ckxstr.h"

// ---------------------------------------------------------------------------
// Certificates and keys. A `ckxstr` result is a byte buffer; empty means
// failure or nothing found.

// DER (first byte 0x30), Base64 of DER (first byte 'M') or PEM. A negative
// length means NUL-terminated text. Failures set the last error (5009, 5010).
KX_EXPORT shared_ptr<X509> KXStrToX509(const void* bytes, int length);
// PEM text (pem true) or DER bytes of the certificate.
KX_EXPORT ckxstr KXX509ToStr(const X509* cert, bool pem);
// Every byte pending in the BIO.
KX_EXPORT ckxstr KXBioToStr(BIO* bio);
// Hex text of the content of a non-negative INTEGER or of a BIT STRING;
// empty for other types.
KX_EXPORT ckxstr KXASN1ToStr(const ASN1_STRING* value);
// nid != 0: raw value of the first entry with that attribute; nid == 0: the
// whole name as "C=CN,O=Org,CN=Name".
KX_EXPORT ckxstr KXGetX509Name(const X509_NAME* name, int nid);
// Hex text of the subject key identifier extension.
KX_EXPORT ckxstr KXGetSubjectKeyId(const STACK_OF(X509_EXTENSION) * exts);
// Hex text of the keyIdentifier of the authority key identifier extension.
KX_EXPORT ckxstr KXGetAuthorKeyId(const STACK_OF(X509_EXTENSION) * exts);
// "RSA_2048", "SM2_0256", "ECC_0256"...
KX_EXPORT ckxstr KXCertType(const X509_PUBKEY* key);
// "SM2_0256" for SM2-with-SM3 certificates, else "RSA_" and the bit length of
// the signature value.
KX_EXPORT ckxstr KXSignType(const X509* cert);
// Digest selected by NID: 4 MD5, 41 SHA-0, 64 SHA-1, 672 SHA-256,
// 673 SHA-384, 674 SHA-512, 675 SHA-224, 920 SM3.
KX_EXPORT ckxstr KXDigestByNID(const void* data, uint32_t length, int nid);
// DigestInfo prefix of the NID followed by the digest.
KX_EXPORT ckxstr KXDigestASN1ByNID(const void* data, uint32_t length, int nid);
// RSA PKCS#1 v1.5 signature over the SHA-1 DigestInfo of the data.
KX_EXPORT ckxstr KXSignData(const void* data, uint32_t length, EVP_PKEY* key);
// PKCS#12: the certificate, with its private key in `key`.
KX_EXPORT shared_ptr<X509> KXStrToP12(const void* bytes, uint32_t length,
                                      const char* password,
                                      shared_ptr<EVP_PKEY>& key);

// The NID of the digest whose DigestInfo an RSA PKCS #1 v1.5 signature
// carries (4, 41, 64, 672..675, 920), read with the key; 0 when the key is not
// RSA, the signature does not open with it or the block names no digest of the
// table. Says nothing about whether the signature matches any data.
KX_EXPORT int KXRsaSignatureDigest(const X509_PUBKEY* key, const void* signature,
                                   uint32_t signatureLength);

#endif
