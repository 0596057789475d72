// SM3 hash (GB/T 32905). The context collects input byte by byte into a
// partial word and word by word into a 16-word block; whole blocks of aligned
// input are compressed straight from the caller's buffer.
#include <cstring>

#include "KXSM.h"
#include "sm3_compress.h"
#include "sm3_internal.h"

namespace kx {
namespace {

inline uint32_t LoadBE32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

// Compresses the context's block and clears it for the next one.
void CompressContextBlock(SM3_CTX_1* ctx) {
  uint32_t w[16];
  std::memcpy(w, ctx->block, sizeof ctx->block);
  sm3::CompressWords(ctx->state, w);
  std::memset(ctx->block, 0, sizeof ctx->block);
  ctx->wordCount = 0;
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
    kx::sm3::CompressBlocks(ctx->state, data, blocks);
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
