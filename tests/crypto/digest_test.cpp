// Digests by NID against OpenSSL and published values.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "KXCrypto.h"
#include "crypto/crypto_kit.h"

namespace {

using kit::Bytes;

Bytes Of(const ckxstr& s) { return Bytes(s.c_str(), s.c_str() + s.length()); }

struct Row {
  int nid;
  const EVP_MD* (*md)();  // OpenSSL's digest; null for SHA-0
  // DigestInfo up to the digest: PKCS #1 (RFC 8017, section 9.2, note 1);
  // SHA-0 with OID 1.3.14.3.2.18; SM3 with OID 1.2.156.10197.1.401.
  const char* prefix;
};
const Row kRows[] = {
    {4, EVP_md5, "3020300C06082A864886F70D020505000410"},
    {41, nullptr, "3021300906052B0E03021205000414"},
    {64, EVP_sha1, "3021300906052B0E03021A05000414"},
    {672, EVP_sha256, "3031300D060960864801650304020105000420"},
    {673, EVP_sha384, "3041300D060960864801650304020205000430"},
    {674, EVP_sha512, "3051300D060960864801650304020305000440"},
    {675, EVP_sha224, "302D300D06096086480165030402040500041C"},
    {920, EVP_sm3, "3030300C06082A811CCF5501831105000420"},
};

TEST(Digest, EveryNidMatchesOpensslAndCarriesItsPrefix) {
  for (size_t len : {0, 3, 55, 56, 64, 1000}) {
    const Bytes data = kit::RandomBytes(len);
    const void* p = len == 0 ? static_cast<const void*>("") : data.data();
    for (const Row& row : kRows) {
      const Bytes raw =
          Of(KXDigestByNID(p, static_cast<uint32_t>(len), row.nid));
      const Bytes info =
          Of(KXDigestASN1ByNID(p, static_cast<uint32_t>(len), row.nid));
      std::string prefix = row.prefix;
      ASSERT_GT(info.size(), raw.size()) << row.nid;
      EXPECT_EQ(kit::ToHex(Bytes(info.begin(), info.end() - raw.size())),
                prefix)
          << row.nid;
      EXPECT_EQ(Bytes(info.end() - raw.size(), info.end()), raw) << row.nid;
      if (row.md != nullptr) {
        Bytes expected(EVP_MAX_MD_SIZE);
        unsigned int n = 0;
        EVP_Digest(p, len, expected.data(), &n, row.md(), nullptr);
        expected.resize(n);
        EXPECT_EQ(raw, expected) << row.nid << " length " << len;
      } else {
        EXPECT_EQ(raw.size(), 20u);
      }
    }
  }
}

TEST(Digest, Sha0PublishedValues) {
  // FIPS 180 (1993) examples: one block and two blocks.
  const std::string abc = "abc";
  EXPECT_EQ(kit::ToHex(Of(KXDigestByNID(abc.data(), 3, 41)), false),
            "0164b8a914cd2a5e74c4f7ff082c4d97f1edf880");
  const std::string two =
      "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(kit::ToHex(Of(KXDigestByNID(two.data(), 56, 41)), false),
            "d2516ee1acfa5baf33dfc1c471e438449ef134c8");
}

TEST(Digest, UnknownNidOrNullDataIsEmpty) {
  EXPECT_TRUE(KXDigestByNID("abc", 3, 0).empty());
  EXPECT_TRUE(KXDigestByNID("abc", 3, 1204).empty());
  EXPECT_TRUE(KXDigestByNID(nullptr, 0, 64).empty());
  EXPECT_TRUE(KXDigestASN1ByNID(nullptr, 3, 920).empty());
  EXPECT_TRUE(KXDigestASN1ByNID("abc", 3, 5).empty());
  EXPECT_EQ(KXDigestASN1ByNID("abc", 3, 920).length(), 50u);
}

}  // namespace
