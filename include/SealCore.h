// Seal services of libsealcore: digest, signature and certificate checks.
// C and C++.
#pragma once

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

#include "kx_export.h"

#ifdef __cplusplus
extern "C" {
#endif
// Digest that a signer hands to a key device. alg 64: the 35-byte SHA-1
// DigestInfo of the data; any other value: the 32-byte SM2 digest
// e = SM3(Z || data) bound to the SM2 public key of the DER certificate
// `cert`. `out` null asks for the length only; *outLen holds the buffer size
// on entry and the result length on return.
KX_EXPORT uint32_t SEBF_DigestData(uint32_t alg, const unsigned char* data,
                                   uint32_t dataLen, const unsigned char* cert,
                                   uint32_t certLen, unsigned char* out,
                                   uint32_t* outLen);
// Verifies `signature` over the data with the public key of the certificate
// (DER, Base64 of DER or PEM): RSA PKCS#1 v1.5 or SM2. 0 when valid.
KX_EXPORT uint32_t SEBF_VerifyData(const unsigned char* data, uint32_t dataLen,
                                   const unsigned char* cert, uint32_t certLen,
                                   const unsigned char* signature,
                                   uint32_t signatureLen);
// Checks that the certificate parses and, when `checkPeriod` is non-zero,
// that now lies within its validity period. `reserved` and `certKind` are
// not used.
KX_EXPORT uint32_t SEBF_VerifyUserCertLink(void* reserved,
                                           const unsigned char* cert,
                                           uint32_t certLen,
                                           unsigned char checkPeriod,
                                           uint32_t certKind);

#ifdef __cplusplus
}
#endif
