// SM3 hash (GB/T 32905). The context collects input byte by byte into a
// partial word and word by word into a 16-word block; whole blocks of aligned
// input are compressed straight from the caller's buffer.
#include <cstring>

#include "KXSM.h"
#include "sm3_internal.h"

namespace kx {
namespace {

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> ((32 - n) & 31));
}
inline uint32_t LoadBE32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
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

// One round j with wj = W[j] and wj4 = W[j+4]. Instead of shifting eight
// registers, the caller rotates the argument names: afterwards D holds the
// new A and H the new E, and B, F have taken their rotations in place.
#define SM3_ROUND(A, B, C, D, E, F, G, H, j, wj, wj4, FF, GG) \
  do {                                                        \
    const uint32_t a12 = Rotl(A, 12);                         \
    const uint32_t ss1 = Rotl(a12 + E + kT[j], 7);            \
    D = FF(A, B, C) + D + (ss1 ^ a12) + ((wj) ^ (wj4));       \
    H = P0(GG(E, F, G) + H + ss1 + (wj));                     \
    B = Rotl(B, 9);                                           \
    F = Rotl(F, 19);                                          \
  } while (0)
#define SM3_XOR3(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_ROUND0(A, B, C, D, E, F, G, H, j, wj, wj4) \
  SM3_ROUND(A, B, C, D, E, F, G, H, j, wj, wj4, SM3_XOR3, SM3_XOR3)
#define SM3_ROUND1(A, B, C, D, E, F, G, H, j, wj, wj4) \
  SM3_ROUND(A, B, C, D, E, F, G, H, j, wj, wj4, FF1, GG1)
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

// Compression of one block whose 16 words are loaded into w. The message
// expansion runs on the fly over these 16 words: slot j mod 16 holds W[j]
// until round j has used it, then W[j+16].
inline void CompressWords(uint32_t state[8], uint32_t w[16]) {
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

#undef SM3_EXPAND
#undef SM3_ROUND1
#undef SM3_ROUND0
#undef SM3_XOR3
#undef SM3_ROUND

// Compresses the context's block and clears it for the next one.
void CompressContextBlock(SM3_CTX_1* ctx) {
  uint32_t w[16];
  std::memcpy(w, ctx->block, sizeof ctx->block);
  CompressWords(ctx->state, w);
  std::memset(ctx->block, 0, sizeof ctx->block);
  ctx->wordCount = 0;
}

// Compresses `blocks` whole 64-byte blocks read directly from `data`.
void CompressInput(uint32_t state[8], const unsigned char* data,
                   size_t blocks) {
  uint32_t w[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBE32(data + 4 * i);
    CompressWords(state, w);
  }
}

inline void PushWord(SM3_CTX_1* ctx, uint32_t word) {
  ctx->block[ctx->wordCount & 15] = word;
  ctx->wordCount = (ctx->wordCount & 15) + 1;
  if (ctx->wordCount == 16) CompressContextBlock(ctx);
}

}  // namespace

void Sm3Digest(const unsigned char* data, size_t len, unsigned char out[32]) {
  SM3_CTX_1 ctx;
  SM3_Init_1(&ctx);
  // Feed in pieces that fit the 32-bit length of SM3_Update_1.
  while (len > 0) {
    const uint32_t piece =
        len > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(len);
    SM3_Update_1(&ctx, data, piece);
    data += piece;
    len -= piece;
  }
  SM3_Final_1(&ctx, out);
}

}  // namespace kx

extern "C" int SM3_Init_1(SM3_CTX_1* ctx) {
  static const uint32_t kIv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7,
                                  0xDA8A0600, 0xA96F30BC, 0x163138AA,
                                  0xE38DEE4D, 0xB0FB0E4E};
  if (ctx == nullptr) return 0;
  std::memset(ctx, 0, sizeof *ctx);
  std::memcpy(ctx->state, kIv, sizeof kIv);
  return 0;
}

extern "C" void SM3_Byte(SM3_CTX_1* ctx, unsigned char byte) {
  if (ctx == nullptr) return;
  // The mask keeps a context with a corrupted count inside its own buffer.
  ctx->partial[ctx->partialLen & 3] = byte;
  ctx->partialLen = (ctx->partialLen & 3) + 1;
  ++ctx->totalLen;
  if (ctx->partialLen == 4) {
    ctx->partialLen = 0;
    kx::PushWord(ctx, kx::LoadBE32(ctx->partial));
  }
}

extern "C" void SM3_Update_1(SM3_CTX_1* ctx, const unsigned char* data,
                             uint32_t len) {
  if (ctx == nullptr || data == nullptr) return;
  // Complete a pending partial word byte by byte.
  while (len > 0 && ctx->partialLen != 0) {
    SM3_Byte(ctx, *data++);
    --len;
  }
  // Whole words until the block is empty again.
  while (len >= 4 && ctx->wordCount != 0) {
    kx::PushWord(ctx, kx::LoadBE32(data));
    ctx->totalLen += 4;
    data += 4;
    len -= 4;
  }
  // Whole blocks straight from the input (the context block is all zero and
  // stays so, just as after compressing it).
  if (len >= 64) {
    const uint32_t blocks = len / 64;
    kx::CompressInput(ctx->state, data, blocks);
    ctx->totalLen += static_cast<uint64_t>(blocks) * 64;
    data += static_cast<size_t>(blocks) * 64;
    len -= blocks * 64;
  }
  while (len >= 4) {
    kx::PushWord(ctx, kx::LoadBE32(data));
    ctx->totalLen += 4;
    data += 4;
    len -= 4;
  }
  while (len > 0) {
    SM3_Byte(ctx, *data++);
    --len;
  }
}

extern "C" void SM3_Final_1(SM3_CTX_1* ctx, unsigned char out[32]) {
  if (ctx == nullptr || out == nullptr) return;
  const uint64_t bits = ctx->totalLen * 8;
  SM3_Byte(ctx, 0x80);
  while (ctx->partialLen != 0) SM3_Byte(ctx, 0);
  // The length takes the last two words; with more than 14 words in use the
  // zeros run on into an extra block.
  while (ctx->wordCount != 14) kx::PushWord(ctx, 0);
  ctx->block[14] = static_cast<uint32_t>(bits >> 32);
  ctx->block[15] = static_cast<uint32_t>(bits);
  kx::CompressContextBlock(ctx);
  for (int i = 0; i < 8; ++i) {
    const uint32_t v = ctx->state[i];
    out[4 * i] = static_cast<unsigned char>(v >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(v >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(v >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(v);
  }
}
