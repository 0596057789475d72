// Arithmetic of the SM2 recommended curve (GB/T 32918.5) of its own: field
// elements of p in four 64-bit limbs, Jacobian points, precomputed multiples
// of the generator, and the SM2 signing and verification steps on byte
// strings. No BIGNUM and no EC_POINT inside; the OpenSSL path of
// sm2_reference.h computes the same results on the generic arithmetic and is
// the tests' reference.
//
// Byte strings are big-endian; a point is X || Y, 32 bytes each. Scalars are
// any 256-bit values and are taken mod n.
#pragma once

#include <cstdint>

namespace kx {
namespace sm2p256 {

// True when X, Y < p and Y^2 = X^3 - 3X + b.
bool IsOnCurve(const unsigned char xy[64]);

// xy = k*G in constant time with respect to k. False when k = 0 (mod n):
// the point at infinity, which has no affine form (xy is then zeros).
bool BaseMul(const unsigned char k[32], unsigned char xy[64]);

enum class MulResult { kPoint, kInfinity, kInvalidPoint };

// xy = u1*G + u2*P with P = pub, in variable time: for public values only.
// kInvalidPoint when pub is not on the curve.
MulResult DoubleMul(const unsigned char u1[32], const unsigned char u2[32],
                    const unsigned char pub[64], unsigned char xy[64]);

// 1 when (r, s) is a valid SM2 signature of the digest e under pub:
// r, s in [1, n-1], t = r + s mod n not 0, pub on the curve, and
// r = (e + x1) mod n for (x1, y1) = s*G + t*P. 0 otherwise.
int VerifyDigest(const unsigned char e[32], const unsigned char r[32],
                 const unsigned char s[32], const unsigned char pub[64]);

// The private key d mod n and (1 + d)^-1 mod n, in Montgomery form, prepared
// once for every signature made with d. The caller wipes it after use.
struct SigningKey {
  uint64_t d[4];
  uint64_t inverse[4];
};

// Fills key from d. Returns all ones when 1 + d has an inverse mod n, 0 when
// d = -1 (mod n). Constant time with respect to d.
uint64_t PrepareSigningKey(const unsigned char d[32], SigningKey* key);

// The signing step for one k:
//   (x1, y1) = k*G;  r = (e + x1) mod n;  s = (1 + d)^-1 * (k - r*d) mod n.
// Returns all ones when the pair may be used (k mod n, r, s not 0 and
// r + k != n); 0 tells the caller to draw another k. Constant time with
// respect to d and k; only the returned mask is meant to be branched on.
uint64_t SignDigest(const SigningKey& key, const unsigned char e[32],
                    const unsigned char k[32], unsigned char r[32],
                    unsigned char s[32]);

}  // namespace sm2p256
}  // namespace kx
