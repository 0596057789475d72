// SHA-0 (FIPS 180, 1993): SHA-1 without the one-bit rotation in the message
// schedule. libcrypto 3 no longer carries it; old signatures still name it.
#include "sha0.h"

#include <algorithm>
#include <cstring>

namespace kx {
namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Sha0Block(uint32_t h[5], const unsigned char* p) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = (uint32_t{p[4 * t]} << 24) | (uint32_t{p[4 * t + 1]} << 16) |
           (uint32_t{p[4 * t + 2]} << 8) | p[4 * t + 3];
  }
  // SHA-1 rotates this sum left by one; SHA-0 does not.
  for (int t = 16; t < 80; ++t)
    w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t tmp = Rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = tmp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

void Sha0Init(Sha0Ctx* ctx) {
  static const uint32_t kInitial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE,
                                       0x10325476, 0xC3D2E1F0};
  std::memcpy(ctx->h, kInitial, sizeof kInitial);
  ctx->length = 0;
  ctx->used = 0;
}

void Sha0Update(Sha0Ctx* ctx, const unsigned char* data, size_t len) {
  if (len == 0) return;
  ctx->length += len;
  if (ctx->used > 0) {
    const size_t take = std::min(len, sizeof ctx->block - ctx->used);
    std::memcpy(ctx->block + ctx->used, data, take);
    ctx->used += take;
    data += take;
    len -= take;
    if (ctx->used < sizeof ctx->block) return;
    Sha0Block(ctx->h, ctx->block);
    ctx->used = 0;
  }
  for (; len >= 64; len -= 64, data += 64) Sha0Block(ctx->h, data);
  if (len > 0) std::memcpy(ctx->block, data, len);
  ctx->used = len;
}

void Sha0Final(Sha0Ctx* ctx, unsigned char out[20]) {
  // Padding: 0x80, zeros, the 64-bit big-endian bit length; one or two blocks.
  const uint64_t bits = ctx->length * 8;
  unsigned char tail[128] = {};
  std::memcpy(tail, ctx->block, ctx->used);
  tail[ctx->used] = 0x80;
  const size_t tailLen = ctx->used < 56 ? 64 : 128;
  for (int i = 0; i < 8; ++i)
    tail[tailLen - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  Sha0Block(ctx->h, tail);
  if (tailLen == 128) Sha0Block(ctx->h, tail + 64);
  for (int i = 0; i < 5; ++i) {
    out[4 * i] = static_cast<unsigned char>(ctx->h[i] >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(ctx->h[i] >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(ctx->h[i] >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(ctx->h[i]);
  }
}

void Sha0Digest(const unsigned char* data, size_t len, unsigned char out[20]) {
  Sha0Ctx ctx;
  Sha0Init(&ctx);
  if (len > 0) Sha0Update(&ctx, data, len);
  Sha0Final(&ctx, out);
}

}  // namespace kx
