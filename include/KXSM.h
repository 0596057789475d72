// SM3 (GB/T 32905) and SM2 signatures (GB/T 32918) on the recommended curve,
// with our own curve arithmetic; keys, points and signatures cross the
// interface as OpenSSL types (EC_POINT, BIGNUM, ECDSA_SIG). C and C++; the
// conversions between SM2 keys or signatures and bytes are C++ only.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

#include "kx_export.h"

// SM3 context: caller-allocated, passed to every SM3 call.
typedef struct SM3_CTX_1 {
  uint32_t state[8];    // chaining state
  uint32_t block[16];   // message block, words loaded big-endian
  uint8_t partial[4];   // bytes collecting towards the next word
  uint32_t partialLen;  // bytes in `partial`, 0..3
  uint32_t wordCount;   // words in `block`, 0..15
  uint64_t totalLen;    // message length in bytes
} SM3_CTX_1;

#ifdef __cplusplus
extern "C" {
#endif
KX_EXPORT int SM3_Init_1(SM3_CTX_1* ctx);
KX_EXPORT void SM3_Byte(SM3_CTX_1* ctx, unsigned char byte);
KX_EXPORT void SM3_Update_1(SM3_CTX_1* ctx, const unsigned char* data,
                            uint32_t len);
KX_EXPORT void SM3_Final_1(SM3_CTX_1* ctx, unsigned char out[32]);

// The process-wide SM2 curve group, built at load and freed at unload.
KX_EXPORT void SM2_GROUP_init(void);
KX_EXPORT void SM2_GROUP_clear(void);

// Each returns 1 on success, 0 on failure.
KX_EXPORT int SM2_do_Z(unsigned char out[32], const unsigned char* id,
                       uint32_t idLen, const EC_POINT* pub);
KX_EXPORT int SM2_do_dgst(unsigned char out[32], const unsigned char* msg,
                          uint32_t msgLen, const EC_POINT* pub);
KX_EXPORT int SM2_do_sign(ECDSA_SIG* sig, const unsigned char e[32],
                          const BIGNUM* d);
KX_EXPORT int SM2_do_verify(const unsigned char e[32], const ECDSA_SIG* sig,
                            const EC_POINT* pub);
KX_EXPORT int SM2_Sign(ECDSA_SIG* sig, const unsigned char* msg,
                       uint32_t msgLen, const EC_POINT* pub, const BIGNUM* d);
KX_EXPORT int SM2_Verify(const unsigned char* msg, uint32_t msgLen,
                         const ECDSA_SIG* sig, const EC_POINT* pub);
KX_EXPORT int SM2_Encrypt(void);
KX_EXPORT int SM2_Decrypt(void);

#ifdef __cplusplus
}

#include "KXCrypto.h"
#include "ckxstr.h"

// Conversions between SM2 keys or signatures and bytes.
// Point from exactly 65 bytes 04 || X || Y on the SM2 curve; empty otherwise.
KX_EXPORT shared_ptr<EC_POINT> KXStrToECPoint(const void* bytes, int length);
// Signature from 64 bytes r || s, or from DER SEQUENCE { r, s } for any other
// length, with no byte after the SEQUENCE; empty on failure.
KX_EXPORT shared_ptr<ECDSA_SIG> KXStrToECSig(const void* bytes, int length);
// 65 bytes 04 || X || Y; empty on failure.
KX_EXPORT ckxstr KXECPointToStr(const EC_POINT* point);
// DER SEQUENCE { r, s }; empty on failure.
KX_EXPORT ckxstr KXECSigToStr(const ECDSA_SIG* sig);

#endif
