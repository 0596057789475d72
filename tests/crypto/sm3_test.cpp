// SM3 against the published examples and against OpenSSL's own SM3.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "KXSM.h"
#include "crypto/crypto_kit.h"
#include "crypto/sm3_compress.h"

namespace {

using kit::Bytes;

Bytes OurSm3(const Bytes& msg) {
  SM3_CTX_1 ctx;
  EXPECT_EQ(SM3_Init_1(&ctx), 0);
  SM3_Update_1(&ctx, msg.data(), static_cast<uint32_t>(msg.size()));
  Bytes out(32);
  SM3_Final_1(&ctx, out.data());
  return out;
}

Bytes OpensslSm3(const Bytes& msg) {
  Bytes out(32);
  unsigned int len = 0;
  EVP_Digest(msg.data(), msg.size(), out.data(), &len, EVP_sm3(), nullptr);
  return out;
}

TEST(Sm3, PublishedExamples) {
  auto rows = kit::ReadVectors("sm3.txt");
  int checked = 0;
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    if (rows[i].first != "msg_hex" || rows[i + 1].first != "sm3") continue;
    const Bytes msg = kit::FromHex(rows[i].second);
    EXPECT_EQ(kit::ToHex(OurSm3(msg)), rows[i + 1].second) << "row " << i;
    ++checked;
  }
  EXPECT_EQ(checked, 8);
}

TEST(Sm3, EmptyAndPaddingBoundariesMatchOpenssl) {
  // 55 bytes: length fits the first block; 56: the length words need an extra
  // block; 64: a whole block and a padding-only block.
  for (size_t len :
       {0, 1, 3, 4, 5, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
    Bytes msg(len);
    for (size_t i = 0; i < len; ++i)
      msg[i] = static_cast<unsigned char>(i * 7 + 1);
    EXPECT_EQ(OurSm3(msg), OpensslSm3(msg)) << "length " << len;
  }
  EXPECT_EQ(kit::ToHex(OurSm3(Bytes())),
            "1AB21D8355CFA17F8E61194831E81A8F22BEC8C728FEFB747ED035EB5082AA2B");
}

TEST(Sm3, RandomPiecesThroughUpdateAndByteMatchOpenssl) {
  std::mt19937 rng(20240917);
  for (int round = 0; round < 400; ++round) {
    const Bytes msg = kit::RandomBytes(rng() % 10001);
    SM3_CTX_1 ctx;
    SM3_Init_1(&ctx);
    size_t at = 0;
    while (at < msg.size()) {
      if (rng() % 4 == 0) {
        SM3_Byte(&ctx, msg[at++]);
        continue;
      }
      // Mostly short pieces, some long enough for whole blocks.
      const size_t limit = rng() % 8 == 0 ? 3000 : 150;
      size_t piece = std::min<size_t>(rng() % limit, msg.size() - at);
      SM3_Update_1(&ctx, msg.data() + at, static_cast<uint32_t>(piece));
      at += piece;
    }
    Bytes out(32);
    SM3_Final_1(&ctx, out.data());
    ASSERT_EQ(out, OpensslSm3(msg)) << "length " << msg.size();
  }
}

TEST(Sm3, UpdateLeavesTheSameContextAsSingleBytes) {
  // The word-at-a-time and block-at-a-time paths must leave exactly the state
  // that feeding every byte singly leaves (block words, partial word, counts).
  std::mt19937 rng(7);
  for (size_t len : {0, 2, 4, 61, 64, 67, 130, 200}) {
    for (size_t lead : {0, 1, 3, 5}) {
      const Bytes msg = kit::RandomBytes(lead + len);
      SM3_CTX_1 a, b;
      SM3_Init_1(&a);
      SM3_Init_1(&b);
      for (size_t i = 0; i < lead; ++i) SM3_Byte(&a, msg[i]);
      for (size_t i = 0; i < lead; ++i) SM3_Byte(&b, msg[i]);
      SM3_Update_1(&a, msg.data() + lead, static_cast<uint32_t>(len));
      for (size_t i = lead; i < msg.size(); ++i) SM3_Byte(&b, msg[i]);
      EXPECT_EQ(0, std::memcmp(a.state, b.state, sizeof a.state));
      EXPECT_EQ(0, std::memcmp(a.block, b.block, sizeof a.block));
      EXPECT_EQ(a.partialLen, b.partialLen);
      EXPECT_EQ(0, std::memcmp(a.partial, b.partial, a.partialLen));
      EXPECT_EQ(a.wordCount, b.wordCount);
      EXPECT_EQ(a.totalLen, b.totalLen);
    }
  }
}

// Both compression forms, on any number of blocks from any state, and the
// one-shot digest at one split point through the dispatched form.
TEST(Sm3, CompressionFormsAgree) {
  std::mt19937 rng(33);
  for (int round = 0; round < 60; ++round) {
    const size_t blocks = rng() % 40;
    const Bytes data = kit::RandomBytes(blocks * 64 + 1);
    uint32_t portable[8], vector[8];
    for (uint32_t& word : portable) word = rng();
    std::copy(portable, portable + 8, vector);
    kx::sm3::CompressBlocksPortable(portable, data.data(), blocks);
    if (kx::sm3::VectorAvailable())
      kx::sm3::CompressBlocksVector(vector, data.data(), blocks);
    else
      kx::sm3::CompressBlocks(vector, data.data(), blocks);
    ASSERT_EQ(0, std::memcmp(portable, vector, sizeof portable)) << blocks;
  }
  if (!kx::sm3::VectorAvailable())
    GTEST_SKIP() << "no AVX2 and BMI2: only the portable form runs here";
}

}  // namespace
