// SM2 signing and verification on OpenSSL's generic EC_POINT arithmetic, on
// any curve group given by the caller. The library signs and verifies with
// the curve arithmetic of sm2_p256.h; these are the reference that the tests
// and the fuzzer compare it with, and they sign the published example on its
// own test curve. Header only, not part of the exported interface.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

#include "openssl_ptr.h"

namespace kx {
namespace reference {

// Signs e with d on `group` (order n):
//   repeat: k = drawK(); (x1, y1) = k*G; r = (e + x1) mod n;
//           s = (1 + d)^-1 * (k - r*d) mod n
// until k != 0, r != 0, r + k != n and s != 0; stores (r, s) in sig.
// drawK(BIGNUM* k) returns false to give up (a failed random draw).
// Returns 1 on success, 0 on failure.
template <class DrawK>
int SignDigest(const EC_GROUP* group, const BIGNUM* n, ECDSA_SIG* sig,
               const unsigned char e[32], const BIGNUM* d, DrawK&& drawK) {
  if (group == nullptr || n == nullptr || sig == nullptr || e == nullptr ||
      d == nullptr)
    return 0;
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  if (!ctx) return 0;
  UniquePtr<EC_POINT> kg(EC_POINT_new(group));
  UniquePtr<BIGNUM> r(BN_new());
  UniquePtr<BIGNUM> s(BN_new());
  if (!kg || !r || !s) return 0;
  BnCtxScope scope(ctx.get());
  BIGNUM* eNum = BN_CTX_get(ctx.get());
  BIGNUM* k = BN_CTX_get(ctx.get());
  BIGNUM* x1 = BN_CTX_get(ctx.get());
  BIGNUM* inv = BN_CTX_get(ctx.get());
  BIGNUM* tmp = BN_CTX_get(ctx.get());
  if (tmp == nullptr || BN_bin2bn(e, 32, eNum) == nullptr) return 0;
  BN_set_flags(k, BN_FLG_CONSTTIME);
  // (1 + d)^-1 mod n, the same for every attempt.
  BN_set_flags(inv, BN_FLG_CONSTTIME);
  if (BN_copy(tmp, d) == nullptr || !BN_add_word(tmp, 1) ||
      !BN_nnmod(tmp, tmp, n, ctx.get()))
    return 0;
  BN_set_flags(tmp, BN_FLG_CONSTTIME);
  if (BN_mod_inverse(inv, tmp, n, ctx.get()) == nullptr) return 0;
  for (;;) {
    if (!drawK(k)) return 0;
    if (BN_is_zero(k)) continue;
    if (!EC_POINT_mul(group, kg.get(), k, nullptr, nullptr, ctx.get()) ||
        !EC_POINT_get_affine_coordinates(group, kg.get(), x1, nullptr,
                                         ctx.get()) ||
        !BN_mod_add(r.get(), eNum, x1, n, ctx.get()))
      return 0;
    if (BN_is_zero(r.get())) continue;
    if (!BN_add(tmp, r.get(), k)) return 0;
    if (BN_cmp(tmp, n) == 0) continue;
    // s = inv * (k - r*d) mod n
    if (!BN_mod_mul(tmp, r.get(), d, n, ctx.get()) ||
        !BN_mod_sub(tmp, k, tmp, n, ctx.get()) ||
        !BN_mod_mul(s.get(), inv, tmp, n, ctx.get()))
      return 0;
    if (BN_is_zero(s.get())) continue;
    if (!ECDSA_SIG_set0(sig, r.get(), s.get())) return 0;
    r.release();  // owned by sig now
    s.release();  // owned by sig now
    return 1;
  }
}

// 1 when r, s lie in [1, n-1], t = r + s mod n is not 0 and
// r == (e + x1) mod n for (x1, y1) = s*G + t*P on `group`; 0 otherwise.
inline int VerifyDigest(const EC_GROUP* group, const unsigned char e[32],
                        const ECDSA_SIG* sig, const EC_POINT* pub) {
  if (group == nullptr || e == nullptr || sig == nullptr || pub == nullptr)
    return 0;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  const BIGNUM* n = EC_GROUP_get0_order(group);
  if (n == nullptr || r == nullptr || s == nullptr || BN_is_zero(r) ||
      BN_is_negative(r) || BN_cmp(r, n) >= 0 || BN_is_zero(s) ||
      BN_is_negative(s) || BN_cmp(s, n) >= 0)
    return 0;
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  UniquePtr<EC_POINT> point(EC_POINT_new(group));
  if (!ctx || !point) return 0;
  BnCtxScope scope(ctx.get());
  BIGNUM* t = BN_CTX_get(ctx.get());
  BIGNUM* x = BN_CTX_get(ctx.get());
  BIGNUM* rr = BN_CTX_get(ctx.get());
  if (rr == nullptr || !BN_mod_add_quick(t, r, s, n) || BN_is_zero(t)) return 0;
  if (!EC_POINT_mul(group, point.get(), s, pub, t, ctx.get()) ||
      EC_POINT_is_at_infinity(group, point.get()) ||
      !EC_POINT_get_affine_coordinates(group, point.get(), x, nullptr,
                                       ctx.get()) ||
      BN_bin2bn(e, 32, rr) == nullptr || !BN_mod_add(rr, rr, x, n, ctx.get()))
    return 0;
  return BN_cmp(rr, r) == 0 ? 1 : 0;
}

}  // namespace reference
}  // namespace kx
