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

// T_j <<< (j mod 32) for every round j.
constexpr uint32_t RotlC(uint32_t x, int n) {
  return n == 0 ? x : (x << n) | (x >> (32 - n));
}
constexpr uint32_t TConst(int j) {
  return RotlC(j < 16 ? 0x79CC4519u : 0x7A879D8Au, j % 32);
}

#define FF0(x, y, z) ((x) ^ (y) ^ (z))
#define GG0(x, y, z) ((x) ^ (y) ^ (z))
#define FF1(x, y, z) (((x) & (y)) | ((x) & (z)) | ((y) & (z)))
#define GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))

// One round. Instead of shifting eight registers, the caller rotates the
// argument names: afterwards D holds the new A and H the new E, and B, F have
// taken their rotations in place.
#define SM3_ROUND(A, B, C, D, E, F, G, H, j, FF, GG)                  \
  do {                                                                \
    const uint32_t a12 = Rotl(A, 12);                                 \
    const uint32_t ss1 = Rotl(a12 + E + TConst(j), 7);                \
    const uint32_t ss2 = ss1 ^ a12;                                   \
    D = FF(A, B, C) + D + ss2 + (w[j] ^ w[(j) + 4]);                  \
    H = P0(GG(E, F, G) + H + ss1 + w[j]);                             \
    B = Rotl(B, 9);                                                   \
    F = Rotl(F, 19);                                                  \
  } while (0)

#define SM3_ROUNDS8(j, FF, GG)                           \
  SM3_ROUND(a, b, c, d, e, f, g, h, (j) + 0, FF, GG);    \
  SM3_ROUND(d, a, b, c, h, e, f, g, (j) + 1, FF, GG);    \
  SM3_ROUND(c, d, a, b, g, h, e, f, (j) + 2, FF, GG);    \
  SM3_ROUND(b, c, d, a, f, g, h, e, (j) + 3, FF, GG);    \
  SM3_ROUND(a, b, c, d, e, f, g, h, (j) + 4, FF, GG);    \
  SM3_ROUND(d, a, b, c, h, e, f, g, (j) + 5, FF, GG);    \
  SM3_ROUND(c, d, a, b, g, h, e, f, (j) + 6, FF, GG);    \
  SM3_ROUND(b, c, d, a, f, g, h, e, (j) + 7, FF, GG)

// Compression of one block whose 16 words are already loaded into w[0..15].
inline void CompressWords(uint32_t state[8], uint32_t w[68]) {
  for (int j = 16; j < 68; ++j) {
    w[j] = P1(w[j - 16] ^ w[j - 9] ^ Rotl(w[j - 3], 15)) ^
           Rotl(w[j - 13], 7) ^ w[j - 6];
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  SM3_ROUNDS8(0, FF0, GG0);
  SM3_ROUNDS8(8, FF0, GG0);
  SM3_ROUNDS8(16, FF1, GG1);
  SM3_ROUNDS8(24, FF1, GG1);
  SM3_ROUNDS8(32, FF1, GG1);
  SM3_ROUNDS8(40, FF1, GG1);
  SM3_ROUNDS8(48, FF1, GG1);
  SM3_ROUNDS8(56, FF1, GG1);
  state[0] ^= a;
  state[1] ^= b;
  state[2] ^= c;
  state[3] ^= d;
  state[4] ^= e;
  state[5] ^= f;
  state[6] ^= g;
  state[7] ^= h;
}

#undef SM3_ROUNDS8
#undef SM3_ROUND

// Compresses the context's block and clears it for the next one.
void CompressContextBlock(SM3_CTX_1* ctx) {
  uint32_t w[68];
  std::memcpy(w, ctx->block, sizeof ctx->block);
  CompressWords(ctx->state, w);
  std::memset(ctx->block, 0, sizeof ctx->block);
  ctx->wordCount = 0;
}

// Compresses `blocks` whole 64-byte blocks read directly from `data`.
void CompressInput(uint32_t state[8], const unsigned char* data,
                   size_t blocks) {
  uint32_t w[68];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBE32(data + 4 * i);
    CompressWords(state, w);
  }
}

inline void PushWord(SM3_CTX_1* ctx, uint32_t word) {
  ctx->block[ctx->wordCount++] = word;
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
  ctx->partial[ctx->partialLen++] = byte;
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
