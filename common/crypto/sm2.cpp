// SM2 signatures (GB/T 32918.2) on the recommended curve: Z, message digest,
// signing and verification.
#include <openssl/rand.h>

#include <cstring>

#include "KXSM.h"
#include "openssl_ptr.h"
#include "sm2_internal.h"
#include "sm2_sign.h"

namespace kx {
namespace {

// Writes the affine coordinates of `point` as X || Y, 32 bytes each.
bool PointXY(const EC_POINT* point, BN_CTX* ctx, unsigned char out[64]) {
  BnCtxScope scope(ctx);
  BIGNUM* x = BN_CTX_get(ctx);
  BIGNUM* y = BN_CTX_get(ctx);
  return y != nullptr &&
         EC_POINT_get_affine_coordinates(g_sm2.group, point, x, y, ctx) == 1 &&
         BN_bn2binpad(x, out, 32) == 32 && BN_bn2binpad(y, out + 32, 32) == 32;
}

// Z with the default identifier: the precomputed curve part, then X || Y.
bool DefaultZ(const EC_POINT* pub, BN_CTX* ctx, unsigned char z[32]) {
  unsigned char xy[64];
  if (!PointXY(pub, ctx, xy)) return false;
  SM3_CTX_1 sm3 = g_sm2.defaultZPrefix;
  SM3_Update_1(&sm3, xy, sizeof xy);
  SM3_Final_1(&sm3, z);
  return true;
}

// e = SM3(Z || message).
bool MessageDigest(const unsigned char* msg, uint32_t msgLen,
                   const EC_POINT* pub, BN_CTX* ctx, unsigned char e[32]) {
  unsigned char z[32];
  if (!DefaultZ(pub, ctx, z)) return false;
  SM3_CTX_1 sm3;
  SM3_Init_1(&sm3);
  SM3_Update_1(&sm3, z, sizeof z);
  SM3_Update_1(&sm3, msg, msgLen);
  SM3_Final_1(&sm3, e);
  return true;
}

// x1 == c for the point (X : Y : Z) in Jacobian coordinates, x1 = X / Z^2,
// tested as X == c * Z^2 (mod p) without the field inversion.
bool AffineXEquals(const BIGNUM* x, const BIGNUM* zz, const BIGNUM* c,
                   BN_CTX* ctx, BIGNUM* tmp) {
  return BN_cmp(c, g_sm2.p) < 0 && BN_mod_mul(tmp, c, zz, g_sm2.p, ctx) &&
         BN_cmp(tmp, x) == 0;
}

// Valid when r, s lie in [1, n-1], t = r + s mod n is not 0 and
// r == (e + x1) mod n for (x1, y1) = s*G + t*P.
int VerifyDigest(const unsigned char e[32], const ECDSA_SIG* sig,
                 const EC_POINT* pub, BN_CTX* ctx) {
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  const BIGNUM* n = g_sm2.n;
  if (r == nullptr || s == nullptr || BN_is_zero(r) || BN_is_negative(r) ||
      BN_cmp(r, n) >= 0 || BN_is_zero(s) || BN_is_negative(s) ||
      BN_cmp(s, n) >= 0)
    return 0;
  UniquePtr<EC_POINT> point(EC_POINT_new(g_sm2.group));
  if (!point) return 0;
  BnCtxScope scope(ctx);
  BIGNUM* t = BN_CTX_get(ctx);
  BIGNUM* x = BN_CTX_get(ctx);
  BIGNUM* y = BN_CTX_get(ctx);
  BIGNUM* z = BN_CTX_get(ctx);
  BIGNUM* c = BN_CTX_get(ctx);
  if (c == nullptr || !BN_mod_add_quick(t, r, s, n) || BN_is_zero(t)) return 0;
  // One simultaneous multiplication; the multiples of G were precomputed
  // when the group was built.
  if (!EC_POINT_mul(g_sm2.group, point.get(), s, pub, t, ctx) ||
      EC_POINT_is_at_infinity(g_sm2.group, point.get()))
    return 0;
  // (e + x1) mod n == r  <=>  x1 == c or x1 == c + n, with c = (r - e) mod n
  // and 0 <= x1 < p < 2n. Compared in Jacobian coordinates, which saves the
  // inversion that the affine x1 would cost.
  if (!EC_POINT_get_Jprojective_coordinates_GFp(g_sm2.group, point.get(), x, y,
                                                z, ctx) ||
      BN_is_zero(z) || !BN_mod_sqr(z, z, g_sm2.p, ctx) ||
      BN_bin2bn(e, 32, y) == nullptr || !BN_mod_sub(c, r, y, n, ctx))
    return 0;
  if (AffineXEquals(x, z, c, ctx, y)) return 1;
  return BN_add(c, c, n) && AffineXEquals(x, z, c, ctx, y) ? 1 : 0;
}

}  // namespace
}  // namespace kx

using kx::g_sm2;
using kx::UniquePtr;

// Z = SM3(ENTL || ID || a || b || Gx || Gy || X || Y), ENTL the identifier's
// bit length as two big-endian bytes.
extern "C" int SM2_do_Z(unsigned char out[32], const unsigned char* id,
                        uint32_t idLen, const EC_POINT* pub) {
  if (out == nullptr || id == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  // ENTL has 16 bits: a longer identifier would hash a wrong length.
  if (idLen > 0xFFFFu / 8) return 0;
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  if (!ctx) return 0;
  if (idLen == kx::kSm2DefaultIdLength &&
      std::memcmp(id, kx::kSm2DefaultId, idLen) == 0)
    return kx::DefaultZ(pub, ctx.get(), out) ? 1 : 0;
  unsigned char xy[64];
  if (!kx::PointXY(pub, ctx.get(), xy)) return 0;
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
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  return ctx && kx::MessageDigest(msg, msgLen, pub, ctx.get(), out) ? 1 : 0;
}

extern "C" int SM2_do_sign(ECDSA_SIG* sig, const unsigned char e[32],
                           const BIGNUM* d) {
  if (g_sm2.group == nullptr) return 0;
  const BIGNUM* n = g_sm2.n;
  return kx::Sm2SignDigest(g_sm2.group, n, sig, e, d, [n](BIGNUM* k) {
    return BN_priv_rand_range(k, n) == 1;
  });
}

extern "C" int SM2_do_verify(const unsigned char e[32], const ECDSA_SIG* sig,
                             const EC_POINT* pub) {
  if (e == nullptr || sig == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  return ctx ? kx::VerifyDigest(e, sig, pub, ctx.get()) : 0;
}

extern "C" int SM2_Sign(ECDSA_SIG* sig, const unsigned char* msg,
                        uint32_t msgLen, const EC_POINT* pub, const BIGNUM* d) {
  if (sig == nullptr || msg == nullptr || d == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  UniquePtr<EC_POINT> derived;
  if (pub == nullptr) {
    // The public point of d, for this call only.
    UniquePtr<BN_CTX> ctx(BN_CTX_new());
    derived.reset(EC_POINT_new(g_sm2.group));
    if (!ctx || !derived ||
        !EC_POINT_mul(g_sm2.group, derived.get(), d, nullptr, nullptr,
                      ctx.get()))
      return 0;
    pub = derived.get();
  }
  unsigned char e[32];
  if (SM2_do_dgst(e, msg, msgLen, pub) != 1) return 0;
  return SM2_do_sign(sig, e, d);
}

// e = SM3(Z || message), then the check of (r, s) against e, on one BIGNUM
// context.
extern "C" int SM2_Verify(const unsigned char* msg, uint32_t msgLen,
                          const ECDSA_SIG* sig, const EC_POINT* pub) {
  if (msg == nullptr || sig == nullptr || pub == nullptr ||
      g_sm2.group == nullptr)
    return 0;
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  unsigned char e[32];
  if (!ctx || !kx::MessageDigest(msg, msgLen, pub, ctx.get(), e)) return 0;
  return kx::VerifyDigest(e, sig, pub, ctx.get());
}

// Encryption is not offered: both always fail.
extern "C" int SM2_Encrypt() { return 0; }
extern "C" int SM2_Decrypt() { return 0; }
