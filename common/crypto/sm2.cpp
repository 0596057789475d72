// SM2 signatures (GB/T 32918.2) on the recommended curve: Z, message digest,
// signing and verification. The points and scalars of the exported interface
// are OpenSSL objects; they are turned into bytes at the boundary and the
// curve arithmetic runs on the dedicated code of sm2_p256.h.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

#include "KXSM.h"
#include "openssl_ptr.h"
#include "sm2_internal.h"
#include "sm2_p256.h"

namespace kx {
namespace {

// X || Y of a point of the SM2 group, 32 bytes each; false for the point at
// infinity or a point of an incompatible group.
bool PointBytes(const EC_POINT* point, unsigned char xy[64]) {
  unsigned char encoded[65];
  if (EC_POINT_point2oct(g_sm2.group, point, POINT_CONVERSION_UNCOMPRESSED,
                         encoded, sizeof encoded, nullptr) != sizeof encoded)
    return false;
  std::memcpy(xy, encoded + 1, 64);
  return true;
}

// Z with the default identifier: the precomputed curve part, then X || Y.
void DefaultZ(const unsigned char xy[64], unsigned char z[32]) {
  SM3_CTX_1 sm3 = g_sm2.defaultZPrefix;
  SM3_Update_1(&sm3, xy, 64);
  SM3_Final_1(&sm3, z);
}

// e = SM3(Z || message).
void MessageDigest(const unsigned char* msg, uint32_t msgLen,
                   const unsigned char xy[64], unsigned char e[32]) {
  unsigned char z[32];
  DefaultZ(xy, z);
  SM3_CTX_1 sm3;
  SM3_Init_1(&sm3);
  SM3_Update_1(&sm3, z, sizeof z);
  SM3_Update_1(&sm3, msg, msgLen);
  SM3_Final_1(&sm3, e);
}

// r and s as 32 bytes each. False when either is negative or longer than 32
// bytes: such a value lies outside [1, n-1] and never verifies.
bool SignatureBytes(const ECDSA_SIG* sig, unsigned char r[32],
                    unsigned char s[32]) {
  const BIGNUM* rn = nullptr;
  const BIGNUM* sn = nullptr;
  ECDSA_SIG_get0(sig, &rn, &sn);
  return rn != nullptr && sn != nullptr && !BN_is_negative(rn) &&
         !BN_is_negative(sn) && BN_bn2binpad(rn, r, 32) == 32 &&
         BN_bn2binpad(sn, s, 32) == 32;
}

// The private key as 32 bytes: d itself when it fits, otherwise d mod n,
// the value that the signing formulas and d*G use for any d.
bool PrivateBytes(const BIGNUM* d, unsigned char out[32]) {
  if (!BN_is_negative(d) && BN_bn2binpad(d, out, 32) == 32) return true;
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  UniquePtr<BIGNUM> reduced(BN_new());
  return ctx && reduced &&
         BN_nnmod(reduced.get(), d, g_sm2.n, ctx.get()) == 1 &&
         BN_bn2binpad(reduced.get(), out, 32) == 32;
}

// Wipes a secret when the scope ends.
class Wipe {
 public:
  Wipe(void* data, size_t length) : data_(data), length_(length) {}
  ~Wipe() { OPENSSL_cleanse(data_, length_); }
  Wipe(const Wipe&) = delete;
  Wipe& operator=(const Wipe&) = delete;

 private:
  void* data_;
  size_t length_;
};

// Signs e with d: k is drawn as 32 random bytes until the signing step
// accepts it (k in [1, n-1], r != 0, r + k != n, s != 0), which makes k
// uniform in [1, n-1].
int SignDigestBytes(ECDSA_SIG* sig, const unsigned char e[32],
                    const unsigned char d[32]) {
  sm2p256::SigningKey key;
  unsigned char k[32];
  Wipe wipeKey(&key, sizeof key), wipeK(k, sizeof k);
  if (sm2p256::PrepareSigningKey(d, &key) == 0) return 0;  // 1 + d = 0 mod n
  unsigned char r[32], s[32];
  do {
    if (RAND_priv_bytes(k, sizeof k) != 1) return 0;
  } while (sm2p256::SignDigest(key, e, k, r, s) == 0);
  UniquePtr<BIGNUM> rn(BN_bin2bn(r, 32, nullptr));
  UniquePtr<BIGNUM> sn(BN_bin2bn(s, 32, nullptr));
  if (!rn || !sn || ECDSA_SIG_set0(sig, rn.get(), sn.get()) != 1) return 0;
  rn.release();  // owned by sig now
  sn.release();  // owned by sig now
  return 1;
}

}  // namespace
}  // namespace kx

using kx::g_sm2;

// Z = SM3(ENTL || ID || a || b || Gx || Gy || X || Y), ENTL the identifier's
// bit length as two big-endian bytes.
extern "C" int SM2_do_Z(unsigned char out[32], const unsigned char* id,
                        uint32_t idLen, const EC_POINT* pub) {
  if (out == nullptr || id == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  // ENTL has 16 bits: a longer identifier would hash a wrong length.
  if (idLen > 0xFFFFu / 8) return 0;
  unsigned char xy[64];
  if (!kx::PointBytes(pub, xy)) return 0;
  if (idLen == kx::kSm2DefaultIdLength &&
      std::memcmp(id, kx::kSm2DefaultId, idLen) == 0) {
    kx::DefaultZ(xy, out);
    return 1;
  }
  const unsigned char entl[2] = {static_cast<unsigned char>(idLen >> 5),
                                 static_cast<unsigned char>(idLen << 3)};
  SM3_CTX_1 sm3;
  SM3_Init_1(&sm3);
  SM3_Update_1(&sm3, entl, 2);
  SM3_Update_1(&sm3, id, idLen);
  SM3_Update_1(&sm3, g_sm2.curve, sizeof g_sm2.curve);
  SM3_Update_1(&sm3, xy, sizeof xy);
  SM3_Final_1(&sm3, out);
  return 1;
}

// e = SM3(Z || message), Z with the default identifier.
extern "C" int SM2_do_dgst(unsigned char out[32], const unsigned char* msg,
                           uint32_t msgLen, const EC_POINT* pub) {
  if (out == nullptr || msg == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  unsigned char xy[64];
  if (!kx::PointBytes(pub, xy)) return 0;
  kx::MessageDigest(msg, msgLen, xy, out);
  return 1;
}

extern "C" int SM2_do_sign(ECDSA_SIG* sig, const unsigned char e[32],
                           const BIGNUM* d) {
  if (sig == nullptr || e == nullptr || d == nullptr || g_sm2.group == nullptr)
    return 0;
  unsigned char secret[32];
  kx::Wipe wipe(secret, sizeof secret);
  return kx::PrivateBytes(d, secret) ? kx::SignDigestBytes(sig, e, secret) : 0;
}

extern "C" int SM2_do_verify(const unsigned char e[32], const ECDSA_SIG* sig,
                             const EC_POINT* pub) {
  if (e == nullptr || sig == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  unsigned char xy[64], r[32], s[32];
  if (!kx::PointBytes(pub, xy) || !kx::SignatureBytes(sig, r, s)) return 0;
  return kx::sm2p256::VerifyDigest(e, r, s, xy);
}

extern "C" int SM2_Sign(ECDSA_SIG* sig, const unsigned char* msg,
                        uint32_t msgLen, const EC_POINT* pub, const BIGNUM* d) {
  if (sig == nullptr || msg == nullptr || d == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  unsigned char secret[32];
  kx::Wipe wipe(secret, sizeof secret);
  if (!kx::PrivateBytes(d, secret)) return 0;
  unsigned char xy[64];
  if (pub == nullptr) {
    // The public point d*G, for this call only; d = 0 (mod n) has none.
    if (!kx::sm2p256::BaseMul(secret, xy)) return 0;
  } else if (!kx::PointBytes(pub, xy)) {
    return 0;
  }
  unsigned char e[32];
  kx::MessageDigest(msg, msgLen, xy, e);
  return kx::SignDigestBytes(sig, e, secret);
}

// e = SM3(Z || message), then the check of (r, s) against e.
extern "C" int SM2_Verify(const unsigned char* msg, uint32_t msgLen,
                          const ECDSA_SIG* sig, const EC_POINT* pub) {
  if (msg == nullptr || sig == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  unsigned char xy[64], r[32], s[32], e[32];
  if (!kx::PointBytes(pub, xy) || !kx::SignatureBytes(sig, r, s)) return 0;
  kx::MessageDigest(msg, msgLen, xy, e);
  return kx::sm2p256::VerifyDigest(e, r, s, xy);
}

// Encryption is not offered: both always fail.
extern "C" int SM2_Encrypt() { return 0; }
extern "C" int SM2_Decrypt() { return 0; }
