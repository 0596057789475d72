// SM2 curve arithmetic of its own (see sm2_p256.h).
//
// Field elements of p and scalars of n are 256-bit values in four 64-bit
// limbs, kept fully reduced and in Montgomery form (a stands for a*2^256 mod
// m) for multiplication; products use unsigned __int128. Points are in
// Jacobian coordinates (X : Y : Z) for the affine point (X/Z^2, Y/Z^3), Z = 0
// being the point at infinity; the curve has a = -3.
//
// k*G for signing reads a table of 43 windows of 32 multiples of G, one signed
// 6-bit digit per window, every entry of a window read whatever the digit:
// no branch and no memory address depends on k. Verification computes
// s*G + t*P in one chain of doublings (Shamir's trick) with width-8 NAF digits
// of s against odd multiples of G and width-5 NAF digits of t against odd
// multiples of P; it handles public values only and may branch.
#include "sm2_p256.h"

#include <cstddef>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kx {
namespace sm2p256 {
namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

// A 256-bit value, least significant limb first.
struct Limbs {
  u64 v[4];
};

// ---------------------------------------------------------------------------
// Limb arithmetic, constant time: masks instead of branches. The carry chains
// use the processor's add-with-carry where the compiler offers it; the same
// functions also run at compile time for the constants below.

// out = a + b + carry; returns the carry out.
constexpr unsigned char AddCarry(unsigned char carry, u64 a, u64 b, u64& out) {
#if defined(__x86_64__)
  if (!__builtin_is_constant_evaluated()) {
    unsigned long long sum = 0;
    carry = _addcarry_u64(carry, a, b, &sum);
    out = sum;
    return carry;
  }
#endif
  const u128 sum = static_cast<u128>(a) + b + carry;
  out = static_cast<u64>(sum);
  return static_cast<unsigned char>(sum >> 64);
}

// out = a - b - borrow; returns the borrow out.
constexpr unsigned char SubBorrow(unsigned char borrow, u64 a, u64 b,
                                  u64& out) {
#if defined(__x86_64__)
  if (!__builtin_is_constant_evaluated()) {
    unsigned long long difference = 0;
    borrow = _subborrow_u64(borrow, a, b, &difference);
    out = difference;
    return borrow;
  }
#endif
  const u128 difference = static_cast<u128>(a) - b - borrow;
  out = static_cast<u64>(difference);
  return static_cast<unsigned char>((difference >> 64) & 1);
}

// All ones when x == 0, otherwise 0.
constexpr u64 ZeroMask(u64 x) { return ((x | (0 - x)) >> 63) - 1; }

constexpr u64 IsZero(const Limbs& a) {
  return ZeroMask(a.v[0] | a.v[1] | a.v[2] | a.v[3]);
}

constexpr u64 Equal(const Limbs& a, const Limbs& b) {
  return ZeroMask((a.v[0] ^ b.v[0]) | (a.v[1] ^ b.v[1]) | (a.v[2] ^ b.v[2]) |
                  (a.v[3] ^ b.v[3]));
}

// r = mask ? a : b, for mask all ones or 0.
constexpr void Select(Limbs& r, u64 mask, const Limbs& a, const Limbs& b) {
  r.v[0] = (a.v[0] & mask) | (b.v[0] & ~mask);
  r.v[1] = (a.v[1] & mask) | (b.v[1] & ~mask);
  r.v[2] = (a.v[2] & mask) | (b.v[2] & ~mask);
  r.v[3] = (a.v[3] & mask) | (b.v[3] & ~mask);
}

// r = a + b mod 2^256; returns the carry.
constexpr u64 AddLimbs(Limbs& r, const Limbs& a, const Limbs& b) {
  unsigned char carry = AddCarry(0, a.v[0], b.v[0], r.v[0]);
  carry = AddCarry(carry, a.v[1], b.v[1], r.v[1]);
  carry = AddCarry(carry, a.v[2], b.v[2], r.v[2]);
  return AddCarry(carry, a.v[3], b.v[3], r.v[3]);
}

// r = a - b mod 2^256; returns the borrow.
constexpr u64 SubLimbs(Limbs& r, const Limbs& a, const Limbs& b) {
  unsigned char borrow = SubBorrow(0, a.v[0], b.v[0], r.v[0]);
  borrow = SubBorrow(borrow, a.v[1], b.v[1], r.v[1]);
  borrow = SubBorrow(borrow, a.v[2], b.v[2], r.v[2]);
  return SubBorrow(borrow, a.v[3], b.v[3], r.v[3]);
}

// All ones when a < b.
constexpr u64 LessMask(const Limbs& a, const Limbs& b) {
  Limbs unused{};
  return 0 - SubLimbs(unused, a, b);
}

inline Limbs FromBytes(const unsigned char b[32]) {
  Limbs r{};
  for (int i = 0; i < 4; ++i) {
    u64 word = 0;
    for (int j = 0; j < 8; ++j) word = (word << 8) | b[8 * i + j];
    r.v[3 - i] = word;
  }
  return r;
}

inline void ToBytes(const Limbs& a, unsigned char b[32]) {
  for (int i = 0; i < 4; ++i) {
    const u64 word = a.v[3 - i];
    for (int j = 0; j < 8; ++j)
      b[8 * i + j] = static_cast<unsigned char>(word >> (56 - 8 * j));
  }
}

// ---------------------------------------------------------------------------
// Arithmetic modulo p or n. Both moduli lie above 2^255, so any 256-bit value
// is below twice the modulus and one conditional subtraction reduces it.

struct Modulus {
  Limbs m;
  u64 m0inv;         // -m^-1 mod 2^64
  Limbs rr;          // 2^512 mod m: converts into Montgomery form
  Limbs one;         // 2^256 mod m: 1 in Montgomery form
  Limbs inverseExp;  // m - 2: a^(m-2) = a^-1 for the prime m
};

// x with m0 * x = 1 mod 2^64 by Newton's iteration, each step doubling the
// number of correct low bits (1 is right mod 2 for odd m0); negated.
constexpr u64 NegInverse64(u64 m0) {
  u64 x = 1;
  for (int i = 0; i < 6; ++i) x *= 2 - m0 * x;
  return 0 - x;
}

// a * 2^bits mod m for a < m, by doubling.
constexpr Limbs ShiftMod(const Limbs& m, Limbs a, int bits) {
  for (int i = 0; i < bits; ++i) {
    Limbs doubled{}, reduced{};
    const u64 carry = AddLimbs(doubled, a, a);
    const u64 borrow = SubLimbs(reduced, doubled, m);
    Select(a, 0 - (carry | (borrow ^ 1)), reduced, doubled);
  }
  return a;
}

constexpr Modulus MakeModulus(const Limbs& m) {
  Modulus M{};
  M.m = m;
  M.m0inv = NegInverse64(m.v[0]);
  M.rr = ShiftMod(m, Limbs{{1, 0, 0, 0}}, 512);
  M.one = ShiftMod(m, Limbs{{1, 0, 0, 0}}, 256);
  SubLimbs(M.inverseExp, m, Limbs{{2, 0, 0, 0}});
  return M;
}

// p = 2^256 - 2^224 - 2^96 + 2^64 - 1 and the group order n.
constexpr Modulus kFieldP =
    MakeModulus(Limbs{{0xFFFFFFFFFFFFFFFF, 0xFFFFFFFF00000000,
                       0xFFFFFFFFFFFFFFFF, 0xFFFFFFFEFFFFFFFF}});
constexpr Modulus kOrderN =
    MakeModulus(Limbs{{0x53BBF40939D54123, 0x7203DF6B21C6052B,
                       0xFFFFFFFFFFFFFFFF, 0xFFFFFFFEFFFFFFFF}});

// (c2 : c1 : c0) += a * b
inline void MulAdd(u64 a, u64 b, u64& c0, u64& c1, u64& c2) {
  const u128 product = static_cast<u128>(a) * b;
  unsigned char carry = AddCarry(0, c0, static_cast<u64>(product), c0);
  carry = AddCarry(carry, c1, static_cast<u64>(product >> 64), c1);
  AddCarry(carry, c2, 0, c2);
}

// r = a * b / 2^256 mod m for a, b < m: Montgomery multiplication by product
// scanning. Column k of the sum a * b + q * m collects every a[j] b[k-j] and
// q[j] m[k-j]; in the low four columns q[k] is chosen so that the column's low
// word becomes 0 and drops out. The sum is below 2m * 2^256.
template <const Modulus& M>
inline void MontMul(Limbs& r, const Limbs& a, const Limbs& b) {
  u64 q[4] = {}, out[4] = {};
  u64 c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
#pragma GCC unroll 4
    for (int j = (k > 3 ? k - 3 : 0); j <= (k < 3 ? k : 3); ++j)
      MulAdd(a.v[j], b.v[k - j], c0, c1, c2);
#pragma GCC unroll 4
    for (int j = (k > 3 ? k - 3 : 0); j < (k < 4 ? k : 4); ++j)
      MulAdd(q[j], M.m.v[k - j], c0, c1, c2);
    if (k < 4) {
      q[k] = c0 * M.m0inv;
      MulAdd(q[k], M.m.v[0], c0, c1, c2);
    } else {
      out[k - 4] = c0;
    }
    c0 = c1;
    c1 = c2;
    c2 = 0;
  }
  const Limbs t{{out[0], out[1], out[2], out[3]}};
  Limbs reduced{};
  const u64 borrow = SubLimbs(reduced, t, M.m);
  Select(r, 0 - (c0 | (borrow ^ 1)), reduced, t);
}

template <const Modulus& M>
constexpr void ModAdd(Limbs& r, const Limbs& a, const Limbs& b) {
  Limbs sum{}, reduced{};
  const u64 carry = AddLimbs(sum, a, b);
  const u64 borrow = SubLimbs(reduced, sum, M.m);
  Select(r, 0 - (carry | (borrow ^ 1)), reduced, sum);
}

template <const Modulus& M>
constexpr void ModSub(Limbs& r, const Limbs& a, const Limbs& b) {
  Limbs diff{}, wrapped{};
  const u64 borrow = SubLimbs(diff, a, b);
  AddLimbs(wrapped, diff, M.m);
  Select(r, 0 - borrow, wrapped, diff);
}

// r = a mod m for any 256-bit a.
template <const Modulus& M>
constexpr void ReduceOnce(Limbs& r, const Limbs& a) {
  Limbs reduced{};
  const u64 borrow = SubLimbs(reduced, a, M.m);
  Select(r, 0 - (borrow ^ 1), reduced, a);
}

template <const Modulus& M>
inline void ToMont(Limbs& r, const Limbs& a) {
  MontMul<M>(r, a, M.rr);
}

template <const Modulus& M>
inline void FromMont(Limbs& r, const Limbs& a) {
  MontMul<M>(r, a, Limbs{{1, 0, 0, 0}});
}

// r = a^(m-2) = a^-1 (0 for a = 0), Montgomery form in and out. The exponent
// is public, so a fixed 4-bit window may index its table by the exponent's
// digits; the run time does not depend on a.
template <const Modulus& M>
void ModInverse(Limbs& r, const Limbs& a) {
  Limbs table[16];
  table[0] = M.one;
  table[1] = a;
  for (int i = 2; i < 16; ++i) MontMul<M>(table[i], table[i - 1], a);
  Limbs acc = M.one;
  for (int bit = 252; bit >= 0; bit -= 4) {
    for (int i = 0; i < 4; ++i) MontMul<M>(acc, acc, acc);
    const u64 digit = (M.inverseExp.v[bit / 64] >> (bit % 64)) & 15;
    MontMul<M>(acc, acc, table[digit]);
  }
  r = acc;
}

// ---------------------------------------------------------------------------
// The field of p and the curve y^2 = x^3 - 3x + b.

using Fe = Limbs;

inline void FeMul(Fe& r, const Fe& a, const Fe& b) {
  MontMul<kFieldP>(r, a, b);
}
inline void FeSqr(Fe& r, const Fe& a) { MontMul<kFieldP>(r, a, a); }
inline void FeAdd(Fe& r, const Fe& a, const Fe& b) { ModAdd<kFieldP>(r, a, b); }
inline void FeSub(Fe& r, const Fe& a, const Fe& b) { ModSub<kFieldP>(r, a, b); }

// a * 2^256 mod p: the Montgomery form of a constant a < p.
constexpr Fe MontConstant(const Limbs& a) {
  return ShiftMod(kFieldP.m, a, 256);
}

// 1, b, Gx and Gy in Montgomery form.
constexpr Fe kOne = kFieldP.one;
constexpr Fe kB = MontConstant(Limbs{{0xDDBCBD414D940E93, 0xF39789F515AB8F92,
                                      0x4D5A9E4BCF6509A7, 0x28E9FA9E9D9F5E34}});
constexpr Fe kGx =
    MontConstant(Limbs{{0x715A4589334C74C7, 0x8FE30BBFF2660BE1,
                        0x5F9904466A39C994, 0x32C4AE2C1F198119}});
constexpr Fe kGy =
    MontConstant(Limbs{{0x02DF32E52139F0A0, 0xD0A9877CC62A4740,
                        0x59BDCEE36B692153, 0xBC3736A2F4F6779C}});

struct Affine {
  Fe x, y;
};
struct Jacobian {
  Fe x, y, z;
};

inline void SelectJacobian(Jacobian& r, u64 mask, const Jacobian& a,
                           const Jacobian& b) {
  Select(r.x, mask, a.x, b.x);
  Select(r.y, mask, a.y, b.y);
  Select(r.z, mask, a.z, b.z);
}

inline bool IsInfinity(const Jacobian& a) { return IsZero(a.z) != 0; }

// (x, y) from X || Y when both are below p and the point is on the curve.
bool DecodePoint(const unsigned char xy[64], Affine& point) {
  const Limbs x = FromBytes(xy), y = FromBytes(xy + 32);
  if (!LessMask(x, kFieldP.m) || !LessMask(y, kFieldP.m)) return false;
  ToMont<kFieldP>(point.x, x);
  ToMont<kFieldP>(point.y, y);
  Fe lhs, rhs, t;
  FeSqr(lhs, point.y);
  FeSqr(rhs, point.x);
  FeMul(rhs, rhs, point.x);
  FeAdd(t, point.x, point.x);
  FeAdd(t, t, point.x);
  FeSub(rhs, rhs, t);
  FeAdd(rhs, rhs, kB);
  return Equal(lhs, rhs) != 0;
}

// r = 2a (3M + 5S, a = -3):
//   delta = Z^2, gamma = Y^2, beta = X gamma, alpha = 3 (X - delta)(X + delta)
//   X3 = alpha^2 - 8 beta
//   Z3 = (Y + Z)^2 - gamma - delta
//   Y3 = alpha (4 beta - X3) - 8 gamma^2
// The point at infinity (Z = 0) stays there; r may be a.
void Double(Jacobian& r, const Jacobian& a) {
  Fe delta, gamma, beta, alpha, t, u;
  FeSqr(delta, a.z);
  FeSqr(gamma, a.y);
  FeMul(beta, a.x, gamma);
  FeSub(t, a.x, delta);
  FeAdd(u, a.x, delta);
  FeMul(alpha, t, u);
  FeAdd(t, alpha, alpha);
  FeAdd(alpha, t, alpha);
  FeAdd(t, a.y, a.z);
  FeSqr(t, t);
  FeSub(t, t, gamma);
  FeSub(r.z, t, delta);
  FeAdd(beta, beta, beta);
  FeAdd(beta, beta, beta);
  FeSqr(t, alpha);
  FeAdd(u, beta, beta);
  FeSub(r.x, t, u);
  FeSub(t, beta, r.x);
  FeMul(t, alpha, t);
  FeSqr(gamma, gamma);
  FeAdd(gamma, gamma, gamma);
  FeAdd(gamma, gamma, gamma);
  FeAdd(gamma, gamma, gamma);
  FeSub(r.y, t, gamma);
}

// r = a + b for a, b not at infinity and a != +-b (11M + 5S):
//   U1 = X1 Z2^2, U2 = X2 Z1^2, S1 = Y1 Z2^3, S2 = Y2 Z1^3
//   H = U2 - U1, I = (2H)^2, J = H I, R = 2 (S2 - S1), V = U1 I
//   X3 = R^2 - J - 2V, Y3 = R (V - X3) - 2 S1 J,
//   Z3 = ((Z1 + Z2)^2 - Z1^2 - Z2^2) H
// Returns the masks of H = 0 and S2 - S1 = 0, which tell the caller that
// a = b (both 0) or a = -b (H only): then r is not the sum.
void AddFormula(Jacobian& r, const Jacobian& a, const Jacobian& b, u64* hZero,
                u64* sZero) {
  Fe z1z1, z2z2, u1, u2, s1, s2, h, i, j, rr, v, t;
  FeSqr(z1z1, a.z);
  FeSqr(z2z2, b.z);
  FeMul(u1, a.x, z2z2);
  FeMul(u2, b.x, z1z1);
  FeMul(s1, a.y, b.z);
  FeMul(s1, s1, z2z2);
  FeMul(s2, b.y, a.z);
  FeMul(s2, s2, z1z1);
  FeSub(h, u2, u1);
  FeSub(rr, s2, s1);
  *hZero = IsZero(h);
  *sZero = IsZero(rr);
  FeAdd(i, h, h);
  FeSqr(i, i);
  FeMul(j, h, i);
  FeAdd(rr, rr, rr);
  FeMul(v, u1, i);
  Jacobian out;
  FeAdd(t, a.z, b.z);
  FeSqr(t, t);
  FeSub(t, t, z1z1);
  FeSub(t, t, z2z2);
  FeMul(out.z, t, h);
  FeSqr(out.x, rr);
  FeSub(out.x, out.x, j);
  FeSub(out.x, out.x, v);
  FeSub(out.x, out.x, v);
  FeSub(t, v, out.x);
  FeMul(t, rr, t);
  FeMul(s1, s1, j);
  FeAdd(s1, s1, s1);
  FeSub(out.y, t, s1);
  r = out;
}

// r = a + b with b affine (Z2 = 1; 7M + 4S), same conditions and masks as
// AddFormula:
//   U2 = X2 Z1^2, S2 = Y2 Z1^3, H = U2 - X1, HH = H^2, I = 4 HH, J = H I,
//   R = 2 (S2 - Y1), V = X1 I
//   X3 = R^2 - J - 2V, Y3 = R (V - X3) - 2 Y1 J, Z3 = (Z1 + H)^2 - Z1^2 - HH
void AddMixedFormula(Jacobian& r, const Jacobian& a, const Affine& b,
                     u64* hZero, u64* sZero) {
  Fe z1z1, u2, s2, h, hh, i, j, rr, v, t;
  FeSqr(z1z1, a.z);
  FeMul(u2, b.x, z1z1);
  FeMul(s2, b.y, a.z);
  FeMul(s2, s2, z1z1);
  FeSub(h, u2, a.x);
  FeSub(rr, s2, a.y);
  *hZero = IsZero(h);
  *sZero = IsZero(rr);
  FeSqr(hh, h);
  FeAdd(i, hh, hh);
  FeAdd(i, i, i);
  FeMul(j, h, i);
  FeAdd(rr, rr, rr);
  FeMul(v, a.x, i);
  Jacobian out;
  FeAdd(out.z, a.z, h);
  FeSqr(out.z, out.z);
  FeSub(out.z, out.z, z1z1);
  FeSub(out.z, out.z, hh);
  FeSqr(out.x, rr);
  FeSub(out.x, out.x, j);
  FeSub(out.x, out.x, v);
  FeSub(out.x, out.x, v);
  FeSub(t, v, out.x);
  FeMul(t, rr, t);
  FeMul(j, a.y, j);
  FeAdd(j, j, j);
  FeSub(out.y, t, j);
  r = out;
}

const Jacobian kInfinity = {};

// r = a + b for any a, b, in variable time.
void AddVar(Jacobian& r, const Jacobian& a, const Jacobian& b) {
  if (IsInfinity(a)) {
    r = b;
    return;
  }
  if (IsInfinity(b)) {
    r = a;
    return;
  }
  u64 hZero, sZero;
  Jacobian sum;
  AddFormula(sum, a, b, &hZero, &sZero);
  if (hZero) {
    if (sZero)
      Double(r, a);
    else
      r = kInfinity;
    return;
  }
  r = sum;
}

// r = a + b for any a and affine b, in variable time.
void AddMixedVar(Jacobian& r, const Jacobian& a, const Affine& b) {
  if (IsInfinity(a)) {
    r = Jacobian{b.x, b.y, kOne};
    return;
  }
  u64 hZero, sZero;
  Jacobian sum;
  AddMixedFormula(sum, a, b, &hZero, &sZero);
  if (hZero) {
    if (sZero)
      Double(r, a);
    else
      r = kInfinity;
    return;
  }
  r = sum;
}

// Affine x = X / Z^2 and y = Y / Z^3 in constant time; zeros at infinity.
void ToAffine(const Jacobian& a, Fe& x, Fe* y) {
  Fe zinv, zinv2;
  ModInverse<kFieldP>(zinv, a.z);
  FeSqr(zinv2, zinv);
  FeMul(x, a.x, zinv2);
  if (y != nullptr) {
    FeMul(zinv2, zinv2, zinv);
    FeMul(*y, a.y, zinv2);
  }
}

// Affine forms of `count` points not at infinity with one inversion: the
// inverse of the product of all Z is unwound into each Z's inverse.
void BatchToAffine(const Jacobian* in, size_t count, Affine* out) {
  std::vector<Fe> prefix(count);
  prefix[0] = in[0].z;
  for (size_t i = 1; i < count; ++i) FeMul(prefix[i], prefix[i - 1], in[i].z);
  Fe inverse;
  ModInverse<kFieldP>(inverse, prefix[count - 1]);
  for (size_t i = count; i-- > 0;) {
    Fe zinv, zinv2;
    if (i > 0) {
      FeMul(zinv, inverse, prefix[i - 1]);
      FeMul(inverse, inverse, in[i].z);
    } else {
      zinv = inverse;
    }
    FeSqr(zinv2, zinv);
    FeMul(out[i].x, in[i].x, zinv2);
    FeMul(zinv2, zinv2, zinv);
    FeMul(out[i].y, in[i].y, zinv2);
  }
}

// ---------------------------------------------------------------------------
// Precomputed multiples of G, built once at first use (a function-local
// static: its construction is thread-safe) and only read afterwards.

constexpr int kCombBits = 6;
constexpr int kCombWindows = 43;  // 43 * 6 = 258 bits cover 256-bit scalars
constexpr int kCombEntries = 32;  // digits 1..32
constexpr int kOddWidth = 8;
constexpr int kOddEntries = 64;  // 1G, 3G, ..., 127G
// Width of the NAF digits of t in verification, and the odd multiples of P
// computed for each verification: 1P, 3P, ..., 15P.
constexpr int kPublicWidth = 5;
constexpr int kPublicEntries = 8;

struct Tables {
  // comb[i * 32 + j] = (j + 1) * 2^(6i) * G
  Affine comb[kCombWindows * kCombEntries];
  // odd[j] = (2j + 1) * G
  Affine odd[kOddEntries];
  Tables();
};

Tables::Tables() {
  std::vector<Jacobian> points(kCombWindows * kCombEntries + kOddEntries);
  const Jacobian g{kGx, kGy, kOne};
  Jacobian base = g;
  for (int w = 0; w < kCombWindows; ++w) {
    Jacobian* row = &points[static_cast<size_t>(w) * kCombEntries];
    row[0] = base;
    for (int j = 1; j < kCombEntries; ++j) AddVar(row[j], row[j - 1], base);
    for (int d = 0; d < kCombBits; ++d) Double(base, base);
  }
  Jacobian* odd = &points[kCombWindows * kCombEntries];
  Jacobian twice;
  Double(twice, g);
  odd[0] = g;
  for (int j = 1; j < kOddEntries; ++j) AddVar(odd[j], odd[j - 1], twice);
  BatchToAffine(points.data(), kCombWindows * kCombEntries, comb);
  BatchToAffine(odd, kOddEntries, this->odd);
}

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

// ---------------------------------------------------------------------------
// k*G in constant time.

// Seven bits of k from bit `pos` (pos >= -1; bit -1 and bits above 255 are
// 0): the six bits of one window and the top bit of the window below.
inline u64 WindowBits(const Limbs& k, int pos) {
  if (pos < 0) return (k.v[0] << 1) & 0x7F;
  const int limb = pos / 64, shift = pos % 64;
  u64 bits = k.v[limb] >> shift;
  if (shift > 64 - 7 && limb < 3) bits |= k.v[limb + 1] << (64 - shift);
  return bits & 0x7F;
}

// t = row[index - 1] for index 1..32, zeros for index 0, reading every entry.
inline void LookupComb(Affine& t, const Affine* row, u64 index) {
  t = Affine{};
  for (u64 j = 0; j < kCombEntries; ++j) {
    const u64 mask = ZeroMask((j + 1) ^ index);
    for (int l = 0; l < 4; ++l) {
      t.x.v[l] |= row[j].x.v[l] & mask;
      t.y.v[l] |= row[j].y.v[l] & mask;
    }
  }
}

// acc = k*G for k < n. Each window i contributes the signed digit
//   d_i = -32 b(6i+5) + 16 b(6i+4) + ... + b(6i) + b(6i-1)  in [-32, 32],
// and k = sum d_i 2^(6i). Returns all ones when the result is the point at
// infinity (k = 0).
//
// The mixed addition's exceptions cannot occur: before window i the sum
// holds m*G with |m| < 2^(6i)/1.9, and adding d_i 2^(6i) G with d_i != 0
// would need m = +-d_i 2^(6i) mod n. Below the top window both sides are
// far smaller than n and differ; in the top window (0 <= d <= 16 as k < n)
// it would make k = 0 or k >= n. The only special case is a sum still at
// infinity, which is handled by selection. (For k >= n, which SignDigest
// rejects, the result may be wrong, but it is computed the same way.)
u64 BaseMulJacobian(Jacobian& acc, const Limbs& k) {
  const Tables& tables = GetTables();
  acc = kInfinity;
  u64 infinity = ~u64{0};
  for (int i = 0; i < kCombWindows; ++i) {
    const u64 bits = WindowBits(k, kCombBits * i - 1);
    const u64 negative = 0 - (bits >> 6);
    const u64 raw = ((bits >> 1) & 31) + (bits & 1);
    const u64 magnitude = (raw & ~negative) | ((32 - raw) & negative);
    Affine t;
    LookupComb(t, &tables.comb[static_cast<size_t>(i) * kCombEntries],
               magnitude);
    Fe negY;
    FeSub(negY, Fe{}, t.y);
    Select(t.y, negative, negY, t.y);
    Jacobian sum;
    u64 hZero, sZero;
    AddMixedFormula(sum, acc, t, &hZero, &sZero);
    SelectJacobian(sum, infinity, Jacobian{t.x, t.y, kOne}, sum);
    const u64 used = ~ZeroMask(magnitude);
    SelectJacobian(acc, used, sum, acc);
    infinity &= ~used;
  }
  return infinity;
}

// ---------------------------------------------------------------------------
// s*G + t*P in variable time.

// Width-w NAF of k: digits odd or 0, |digit| < 2^(w-1), at most one non-zero
// digit in any w consecutive digits, least significant first. Returns the
// number of digits (at most 257).
int Wnaf(const Limbs& k, int w, int digits[258]) {
  u64 v[5] = {k.v[0], k.v[1], k.v[2], k.v[3], 0};
  const u64 window = u64{1} << w, half = window >> 1;
  int count = 0;
  while ((v[0] | v[1] | v[2] | v[3] | v[4]) != 0) {
    int digit = 0;
    if (v[0] & 1) {
      const u64 low = v[0] & (window - 1);
      if (low >= half) {
        // digit = low - 2^w < 0: v += 2^w - low
        digit = static_cast<int>(low) - static_cast<int>(window);
        u128 carry = static_cast<u128>(v[0]) + (window - low);
        v[0] = static_cast<u64>(carry);
        for (int i = 1; i < 5; ++i) {
          carry = static_cast<u128>(v[i]) + static_cast<u64>(carry >> 64);
          v[i] = static_cast<u64>(carry);
        }
      } else {
        digit = static_cast<int>(low);
        v[0] -= low;  // clears the low bits, no borrow
      }
    }
    digits[count++] = digit;
    for (int i = 0; i < 4; ++i) v[i] = (v[i] >> 1) | (v[i + 1] << 63);
    v[4] >>= 1;
  }
  return count;
}

void Negate(Fe& r, const Fe& a) { FeSub(r, Fe{}, a); }

// acc = u1*G + u2*P: one chain of doublings, adding the odd multiples of G
// and of P that the NAF digits of u1 and u2 name.
void DoubleMulJacobian(Jacobian& acc, const Limbs& u1, const Limbs& u2,
                       const Affine& p) {
  int nafG[258] = {}, nafP[258] = {};
  const int lengthG = Wnaf(u1, kOddWidth, nafG);
  const int lengthP = Wnaf(u2, kPublicWidth, nafP);
  // oddP[j] = (2j + 1) P
  Jacobian oddP[kPublicEntries];
  oddP[0] = Jacobian{p.x, p.y, kOne};
  Jacobian twice;
  Double(twice, oddP[0]);
  for (int j = 1; j < kPublicEntries; ++j) AddVar(oddP[j], oddP[j - 1], twice);
  const Tables& tables = GetTables();
  acc = kInfinity;
  for (int i = (lengthG > lengthP ? lengthG : lengthP) - 1; i >= 0; --i) {
    if (!IsInfinity(acc)) Double(acc, acc);
    if (nafP[i] != 0) {
      Jacobian term = oddP[(nafP[i] < 0 ? -nafP[i] : nafP[i]) / 2];
      if (nafP[i] < 0) Negate(term.y, term.y);
      AddVar(acc, acc, term);
    }
    if (nafG[i] != 0) {
      Affine term = tables.odd[(nafG[i] < 0 ? -nafG[i] : nafG[i]) / 2];
      if (nafG[i] < 0) Negate(term.y, term.y);
      AddMixedVar(acc, acc, term);
    }
  }
}

void WritePoint(const Fe& x, const Fe& y, unsigned char xy[64]) {
  Limbs plain;
  FromMont<kFieldP>(plain, x);
  ToBytes(plain, xy);
  FromMont<kFieldP>(plain, y);
  ToBytes(plain, xy + 32);
}

}  // namespace

bool IsOnCurve(const unsigned char xy[64]) {
  Affine point;
  return DecodePoint(xy, point);
}

bool BaseMul(const unsigned char k[32], unsigned char xy[64]) {
  Limbs scalar = FromBytes(k);
  ReduceOnce<kOrderN>(scalar, scalar);
  Jacobian point;
  const u64 infinity = BaseMulJacobian(point, scalar);
  Fe x, y;
  ToAffine(point, x, &y);
  WritePoint(x, y, xy);
  return infinity == 0;
}

MulResult DoubleMul(const unsigned char u1[32], const unsigned char u2[32],
                    const unsigned char pub[64], unsigned char xy[64]) {
  Affine p;
  if (!DecodePoint(pub, p)) return MulResult::kInvalidPoint;
  Limbs a = FromBytes(u1), b = FromBytes(u2);
  ReduceOnce<kOrderN>(a, a);
  ReduceOnce<kOrderN>(b, b);
  Jacobian sum;
  DoubleMulJacobian(sum, a, b, p);
  std::memset(xy, 0, 64);
  if (IsInfinity(sum)) return MulResult::kInfinity;
  Fe x, y;
  ToAffine(sum, x, &y);
  WritePoint(x, y, xy);
  return MulResult::kPoint;
}

int VerifyDigest(const unsigned char e[32], const unsigned char r[32],
                 const unsigned char s[32], const unsigned char pub[64]) {
  const Limbs rv = FromBytes(r), sv = FromBytes(s);
  if (IsZero(rv) || IsZero(sv) || !LessMask(rv, kOrderN.m) ||
      !LessMask(sv, kOrderN.m))
    return 0;
  Affine p;
  if (!DecodePoint(pub, p)) return 0;
  Limbs t;
  ModAdd<kOrderN>(t, rv, sv);
  if (IsZero(t)) return 0;
  Jacobian sum;
  DoubleMulJacobian(sum, sv, t, p);
  if (IsInfinity(sum)) return 0;
  // (e + x1) mod n == r  <=>  x1 == c or x1 == c + n, with c = (r - e) mod n
  // and 0 <= x1 < p < 2n; x1 = X / Z^2 is compared as X == c Z^2, which
  // saves the inversion.
  Limbs ev = FromBytes(e), c;
  ReduceOnce<kOrderN>(ev, ev);
  ModSub<kOrderN>(c, rv, ev);
  Fe zz, candidate;
  FeSqr(zz, sum.z);
  ToMont<kFieldP>(candidate, c);
  FeMul(candidate, candidate, zz);
  if (Equal(candidate, sum.x)) return 1;
  Limbs cn;
  if (AddLimbs(cn, c, kOrderN.m) != 0 || !LessMask(cn, kFieldP.m)) return 0;
  ToMont<kFieldP>(candidate, cn);
  FeMul(candidate, candidate, zz);
  return Equal(candidate, sum.x) ? 1 : 0;
}

uint64_t PrepareSigningKey(const unsigned char d[32], SigningKey* key) {
  Limbs dv = FromBytes(d), onePlusD, dm, om, inverse;
  ReduceOnce<kOrderN>(dv, dv);
  ModAdd<kOrderN>(onePlusD, dv, Limbs{{1, 0, 0, 0}});
  ToMont<kOrderN>(dm, dv);
  ToMont<kOrderN>(om, onePlusD);
  ModInverse<kOrderN>(inverse, om);
  std::memcpy(key->d, dm.v, sizeof key->d);
  std::memcpy(key->inverse, inverse.v, sizeof key->inverse);
  return ~IsZero(onePlusD);
}

uint64_t SignDigest(const SigningKey& key, const unsigned char e[32],
                    const unsigned char k[32], unsigned char r[32],
                    unsigned char s[32]) {
  const Limbs kv = FromBytes(k);
  // Only k in [1, n-1] is used; the caller's draw is then uniform.
  const u64 kUsable = ~IsZero(kv) & LessMask(kv, kOrderN.m);
  Jacobian point;
  BaseMulJacobian(point, kv);
  Fe x;
  ToAffine(point, x, nullptr);
  Limbs x1, ev, rv, rk;
  FromMont<kFieldP>(x1, x);
  ReduceOnce<kOrderN>(x1, x1);
  ev = FromBytes(e);
  ReduceOnce<kOrderN>(ev, ev);
  ModAdd<kOrderN>(rv, ev, x1);
  ModAdd<kOrderN>(rk, rv, kv);
  // s = (1 + d)^-1 (k - r d); in Montgomery form (a b R^-1 of aR and bR).
  Limbs d, inverse, rm, km, t, sv;
  std::memcpy(d.v, key.d, sizeof d.v);
  std::memcpy(inverse.v, key.inverse, sizeof inverse.v);
  ToMont<kOrderN>(rm, rv);
  ToMont<kOrderN>(km, kv);
  MontMul<kOrderN>(t, rm, d);
  ModSub<kOrderN>(t, km, t);
  MontMul<kOrderN>(t, inverse, t);
  FromMont<kOrderN>(sv, t);
  ToBytes(rv, r);
  ToBytes(sv, s);
  return kUsable & ~IsZero(rv) & ~IsZero(rk) & ~IsZero(sv);
}

}  // namespace sm2p256
}  // namespace kx
