// SM3 compression function (GB/T 32905): a portable form with the message
// expansion interleaved with the rounds, and on x86-64 processors with AVX2
// and BMI2 a form that expands the message four words at a time in vector
// registers while the rounds run in the general registers. The form is
// chosen once, at the first call.
#include "sm3_compress.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kx {
namespace sm3 {
namespace {

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> ((32 - n) & 31));
}
inline uint32_t P0(uint32_t x) { return x ^ Rotl(x, 9) ^ Rotl(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ Rotl(x, 15) ^ Rotl(x, 23); }

// Boolean functions of rounds 16..63 (rounds 0..15 use x ^ y ^ z).
inline uint32_t FF1(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) | ((x | y) & z);
}
inline uint32_t GG1(uint32_t x, uint32_t y, uint32_t z) {
  return ((y ^ z) & x) ^ z;
}

// One round j with wj = W[j] and wpj = W'[j] = W[j] ^ W[j+4]. Instead of
// shifting eight registers, the caller rotates the argument names: afterwards
// D holds the new A and H the new E, and B, F have taken their rotations in
// place.
#define SM3_ROUND(A, B, C, D, E, F, G, H, j, wj, wpj, FF, GG) \
  do {                                                        \
    const uint32_t a12 = Rotl(A, 12);                         \
    const uint32_t ss1 = Rotl(a12 + E + kT[j], 7);            \
    D = FF(A, B, C) + D + (ss1 ^ a12) + (wpj);                \
    H = P0(GG(E, F, G) + H + ss1 + (wj));                     \
    B = Rotl(B, 9);                                           \
    F = Rotl(F, 19);                                          \
  } while (0)
#define SM3_XOR3(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_ROUND0(A, B, C, D, E, F, G, H, j, wj, wj4) \
  SM3_ROUND(A, B, C, D, E, F, G, H, j, wj, (wj) ^ (wj4), SM3_XOR3, SM3_XOR3)
#define SM3_ROUND1(A, B, C, D, E, F, G, H, j, wj, wj4) \
  SM3_ROUND(A, B, C, D, E, F, G, H, j, wj, (wj) ^ (wj4), FF1, GG1)
// W[j+16] from W[j], W[j+7], W[j+13], W[j+3], W[j+10].
#define SM3_EXPAND(w0, w7, w13, w3, w10) \
  (P1((w0) ^ (w7) ^ Rotl(w13, 15)) ^ Rotl(w3, 7) ^ (w10))

// T_j <<< (j mod 32) for every round j.
constexpr uint32_t RotlC(uint32_t x, int n) {
  return n == 0 ? x : (x << n) | (x >> (32 - n));
}
struct RoundConstants {
  uint32_t t[64];
  constexpr RoundConstants() : t() {
    for (int j = 0; j < 64; ++j)
      t[j] = RotlC(j < 16 ? 0x79CC4519u : 0x7A879D8Au, j % 32);
  }
  constexpr uint32_t operator[](int j) const { return t[j]; }
};
constexpr RoundConstants kT;

}  // namespace

// The message expansion runs on the fly over the 16 words: slot j mod 16
// holds W[j] until round j has used it, then W[j+16].
void CompressWords(uint32_t state[8], uint32_t w[16]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  SM3_ROUND0(a, b, c, d, e, f, g, h, 0, w[0], w[4]);
  w[0] = SM3_EXPAND(w[0], w[7], w[13], w[3], w[10]);
  SM3_ROUND0(d, a, b, c, h, e, f, g, 1, w[1], w[5]);
  w[1] = SM3_EXPAND(w[1], w[8], w[14], w[4], w[11]);
  SM3_ROUND0(c, d, a, b, g, h, e, f, 2, w[2], w[6]);
  w[2] = SM3_EXPAND(w[2], w[9], w[15], w[5], w[12]);
  SM3_ROUND0(b, c, d, a, f, g, h, e, 3, w[3], w[7]);
  w[3] = SM3_EXPAND(w[3], w[10], w[0], w[6], w[13]);
  SM3_ROUND0(a, b, c, d, e, f, g, h, 4, w[4], w[8]);
  w[4] = SM3_EXPAND(w[4], w[11], w[1], w[7], w[14]);
  SM3_ROUND0(d, a, b, c, h, e, f, g, 5, w[5], w[9]);
  w[5] = SM3_EXPAND(w[5], w[12], w[2], w[8], w[15]);
  SM3_ROUND0(c, d, a, b, g, h, e, f, 6, w[6], w[10]);
  w[6] = SM3_EXPAND(w[6], w[13], w[3], w[9], w[0]);
  SM3_ROUND0(b, c, d, a, f, g, h, e, 7, w[7], w[11]);
  w[7] = SM3_EXPAND(w[7], w[14], w[4], w[10], w[1]);
  SM3_ROUND0(a, b, c, d, e, f, g, h, 8, w[8], w[12]);
  w[8] = SM3_EXPAND(w[8], w[15], w[5], w[11], w[2]);
  SM3_ROUND0(d, a, b, c, h, e, f, g, 9, w[9], w[13]);
  w[9] = SM3_EXPAND(w[9], w[0], w[6], w[12], w[3]);
  SM3_ROUND0(c, d, a, b, g, h, e, f, 10, w[10], w[14]);
  w[10] = SM3_EXPAND(w[10], w[1], w[7], w[13], w[4]);
  SM3_ROUND0(b, c, d, a, f, g, h, e, 11, w[11], w[15]);
  w[11] = SM3_EXPAND(w[11], w[2], w[8], w[14], w[5]);
  SM3_ROUND0(a, b, c, d, e, f, g, h, 12, w[12], w[0]);
  w[12] = SM3_EXPAND(w[12], w[3], w[9], w[15], w[6]);
  SM3_ROUND0(d, a, b, c, h, e, f, g, 13, w[13], w[1]);
  w[13] = SM3_EXPAND(w[13], w[4], w[10], w[0], w[7]);
  SM3_ROUND0(c, d, a, b, g, h, e, f, 14, w[14], w[2]);
  w[14] = SM3_EXPAND(w[14], w[5], w[11], w[1], w[8]);
  SM3_ROUND0(b, c, d, a, f, g, h, e, 15, w[15], w[3]);
  w[15] = SM3_EXPAND(w[15], w[6], w[12], w[2], w[9]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 16, w[0], w[4]);
  w[0] = SM3_EXPAND(w[0], w[7], w[13], w[3], w[10]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 17, w[1], w[5]);
  w[1] = SM3_EXPAND(w[1], w[8], w[14], w[4], w[11]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 18, w[2], w[6]);
  w[2] = SM3_EXPAND(w[2], w[9], w[15], w[5], w[12]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 19, w[3], w[7]);
  w[3] = SM3_EXPAND(w[3], w[10], w[0], w[6], w[13]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 20, w[4], w[8]);
  w[4] = SM3_EXPAND(w[4], w[11], w[1], w[7], w[14]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 21, w[5], w[9]);
  w[5] = SM3_EXPAND(w[5], w[12], w[2], w[8], w[15]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 22, w[6], w[10]);
  w[6] = SM3_EXPAND(w[6], w[13], w[3], w[9], w[0]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 23, w[7], w[11]);
  w[7] = SM3_EXPAND(w[7], w[14], w[4], w[10], w[1]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 24, w[8], w[12]);
  w[8] = SM3_EXPAND(w[8], w[15], w[5], w[11], w[2]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 25, w[9], w[13]);
  w[9] = SM3_EXPAND(w[9], w[0], w[6], w[12], w[3]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 26, w[10], w[14]);
  w[10] = SM3_EXPAND(w[10], w[1], w[7], w[13], w[4]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 27, w[11], w[15]);
  w[11] = SM3_EXPAND(w[11], w[2], w[8], w[14], w[5]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 28, w[12], w[0]);
  w[12] = SM3_EXPAND(w[12], w[3], w[9], w[15], w[6]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 29, w[13], w[1]);
  w[13] = SM3_EXPAND(w[13], w[4], w[10], w[0], w[7]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 30, w[14], w[2]);
  w[14] = SM3_EXPAND(w[14], w[5], w[11], w[1], w[8]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 31, w[15], w[3]);
  w[15] = SM3_EXPAND(w[15], w[6], w[12], w[2], w[9]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 32, w[0], w[4]);
  w[0] = SM3_EXPAND(w[0], w[7], w[13], w[3], w[10]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 33, w[1], w[5]);
  w[1] = SM3_EXPAND(w[1], w[8], w[14], w[4], w[11]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 34, w[2], w[6]);
  w[2] = SM3_EXPAND(w[2], w[9], w[15], w[5], w[12]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 35, w[3], w[7]);
  w[3] = SM3_EXPAND(w[3], w[10], w[0], w[6], w[13]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 36, w[4], w[8]);
  w[4] = SM3_EXPAND(w[4], w[11], w[1], w[7], w[14]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 37, w[5], w[9]);
  w[5] = SM3_EXPAND(w[5], w[12], w[2], w[8], w[15]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 38, w[6], w[10]);
  w[6] = SM3_EXPAND(w[6], w[13], w[3], w[9], w[0]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 39, w[7], w[11]);
  w[7] = SM3_EXPAND(w[7], w[14], w[4], w[10], w[1]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 40, w[8], w[12]);
  w[8] = SM3_EXPAND(w[8], w[15], w[5], w[11], w[2]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 41, w[9], w[13]);
  w[9] = SM3_EXPAND(w[9], w[0], w[6], w[12], w[3]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 42, w[10], w[14]);
  w[10] = SM3_EXPAND(w[10], w[1], w[7], w[13], w[4]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 43, w[11], w[15]);
  w[11] = SM3_EXPAND(w[11], w[2], w[8], w[14], w[5]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 44, w[12], w[0]);
  w[12] = SM3_EXPAND(w[12], w[3], w[9], w[15], w[6]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 45, w[13], w[1]);
  w[13] = SM3_EXPAND(w[13], w[4], w[10], w[0], w[7]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 46, w[14], w[2]);
  w[14] = SM3_EXPAND(w[14], w[5], w[11], w[1], w[8]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 47, w[15], w[3]);
  w[15] = SM3_EXPAND(w[15], w[6], w[12], w[2], w[9]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 48, w[0], w[4]);
  w[0] = SM3_EXPAND(w[0], w[7], w[13], w[3], w[10]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 49, w[1], w[5]);
  w[1] = SM3_EXPAND(w[1], w[8], w[14], w[4], w[11]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 50, w[2], w[6]);
  w[2] = SM3_EXPAND(w[2], w[9], w[15], w[5], w[12]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 51, w[3], w[7]);
  w[3] = SM3_EXPAND(w[3], w[10], w[0], w[6], w[13]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 52, w[4], w[8]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 53, w[5], w[9]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 54, w[6], w[10]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 55, w[7], w[11]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 56, w[8], w[12]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 57, w[9], w[13]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 58, w[10], w[14]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 59, w[11], w[15]);
  SM3_ROUND1(a, b, c, d, e, f, g, h, 60, w[12], w[0]);
  SM3_ROUND1(d, a, b, c, h, e, f, g, 61, w[13], w[1]);
  SM3_ROUND1(c, d, a, b, g, h, e, f, 62, w[14], w[2]);
  SM3_ROUND1(b, c, d, a, f, g, h, e, 63, w[15], w[3]);
  state[0] ^= a;
  state[1] ^= b;
  state[2] ^= c;
  state[3] ^= d;
  state[4] ^= e;
  state[5] ^= f;
  state[6] ^= g;
  state[7] ^= h;
}

namespace {

inline uint32_t LoadBE32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

}  // namespace

void CompressBlocksPortable(uint32_t state[8], const unsigned char* data,
                            size_t blocks) {
  uint32_t w[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBE32(data + 4 * i);
    CompressWords(state, w);
  }
}

#if defined(__x86_64__)
#define KX_SM3_VECTOR __attribute__((target("avx2,bmi2")))

namespace {

template <int n>
KX_SM3_VECTOR inline __m128i RotlV(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, n), _mm_srli_epi32(x, 32 - n));
}

KX_SM3_VECTOR inline __m128i P1V(__m128i x) {
  return _mm_xor_si128(x, _mm_xor_si128(RotlV<15>(x), RotlV<23>(x)));
}

KX_SM3_VECTOR inline __m128i Load(const uint32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// W[j..j+3] from the sixteen words before them:
//   W[i] = P1(W[i-16] ^ W[i-9] ^ (W[i-3] <<< 15)) ^ (W[i-13] <<< 7) ^ W[i-6]
// W[j+3] needs W[j], which this step computes: its lane first takes 0 in
// place of W[j], then, P1 being linear over XOR, P1(W[j] <<< 15) is added.
KX_SM3_VECTOR inline void ExpandFour(uint32_t* w, int j) {
  const __m128i w3 = _mm_srli_si128(Load(w + j - 4), 4);  // W[j-3..j-1], 0
  __m128i x = _mm_xor_si128(Load(w + j - 16), Load(w + j - 9));
  x = P1V(_mm_xor_si128(x, RotlV<15>(w3)));
  x = _mm_xor_si128(x,
                    _mm_xor_si128(RotlV<7>(Load(w + j - 13)), Load(w + j - 6)));
  const __m128i first = _mm_slli_si128(x, 12);  // W[j] moved to lane 3
  x = _mm_xor_si128(x, P1V(RotlV<15>(first)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(w + j), x);
}

// W'[j..j+3] = W[j..j+3] ^ W[j+4..j+7]
KX_SM3_VECTOR inline void PrimeFour(uint32_t* wp, const uint32_t* w, int j) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(wp + j),
                   _mm_xor_si128(Load(w + j), Load(w + j + 4)));
}

// Makes the compiler read the expanded words back from memory, one load per
// word folded into the round's addition, rather than keep them in vector
// registers and extract each lane with an instruction of its own.
inline void ReadBackFromMemory() { __asm__ volatile("" ::: "memory"); }

}  // namespace

KX_SM3_VECTOR void CompressBlocksVector(uint32_t state[8],
                                        const unsigned char* data,
                                        size_t blocks) {
  alignas(16) uint32_t w[68];
  alignas(16) uint32_t wp[64];
  const __m128i byteSwap =
      _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 4; ++i)
      _mm_store_si128(
          reinterpret_cast<__m128i*>(w + 4 * i),
          _mm_shuffle_epi8(
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
              byteSwap));
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
    const uint32_t e0 = e, f0 = f, g0 = g, h0 = h;
    // Each group of four rounds first expands the words that round 16 on
    // needs, well ahead of their use.
#pragma GCC unroll 4
    for (int j = 0; j < 16; j += 4) {
      ExpandFour(w, j + 16);
      PrimeFour(wp, w, j);
      ReadBackFromMemory();
      SM3_ROUND(a, b, c, d, e, f, g, h, j, w[j], wp[j], SM3_XOR3, SM3_XOR3);
      SM3_ROUND(d, a, b, c, h, e, f, g, j + 1, w[j + 1], wp[j + 1], SM3_XOR3,
                SM3_XOR3);
      SM3_ROUND(c, d, a, b, g, h, e, f, j + 2, w[j + 2], wp[j + 2], SM3_XOR3,
                SM3_XOR3);
      SM3_ROUND(b, c, d, a, f, g, h, e, j + 3, w[j + 3], wp[j + 3], SM3_XOR3,
                SM3_XOR3);
    }
#pragma GCC unroll 12
    for (int j = 16; j < 64; j += 4) {
      if (j + 16 < 68) ExpandFour(w, j + 16);
      PrimeFour(wp, w, j);
      ReadBackFromMemory();
      SM3_ROUND(a, b, c, d, e, f, g, h, j, w[j], wp[j], FF1, GG1);
      SM3_ROUND(d, a, b, c, h, e, f, g, j + 1, w[j + 1], wp[j + 1], FF1, GG1);
      SM3_ROUND(c, d, a, b, g, h, e, f, j + 2, w[j + 2], wp[j + 2], FF1, GG1);
      SM3_ROUND(b, c, d, a, f, g, h, e, j + 3, w[j + 3], wp[j + 3], FF1, GG1);
    }
    a ^= a0;
    b ^= b0;
    c ^= c0;
    d ^= d0;
    e ^= e0;
    f ^= f0;
    g ^= g0;
    h ^= h0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
  state[4] = e;
  state[5] = f;
  state[6] = g;
  state[7] = h;
}

bool VectorAvailable() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
}
#else
void CompressBlocksVector(uint32_t state[8], const unsigned char* data,
                          size_t blocks) {
  CompressBlocksPortable(state, data, blocks);
}

bool VectorAvailable() { return false; }
#endif

#undef SM3_EXPAND
#undef SM3_ROUND1
#undef SM3_ROUND0
#undef SM3_XOR3
#undef SM3_ROUND

namespace {

using CompressFunction = void (*)(uint32_t*, const unsigned char*, size_t);

CompressFunction Choose() {
  return VectorAvailable() ? CompressBlocksVector : CompressBlocksPortable;
}

}  // namespace

void CompressBlocks(uint32_t state[8], const unsigned char* data,
                    size_t blocks) {
  static const CompressFunction compress = Choose();
  compress(state, data, blocks);
}

}  // namespace sm3
}  // namespace kx
