// RSA and SM2 signature verification, RSA signing and certificate signature
// checks, with OpenSSL making and checking the signatures on the other side.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXSM.h"
#include "crypto/crypto_kit.h"

namespace {

using kit::Bytes;

Bytes Of(const ckxstr& s) { return Bytes(s.c_str(), s.c_str() + s.length()); }

class RsaVerify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { key_ = kit::RsaKey(2048).release(); }
  static void TearDownTestSuite() { EVP_PKEY_free(key_); }
  static EVP_PKEY* key_;
};
EVP_PKEY* RsaVerify::key_ = nullptr;

Bytes DigestInfo(const std::string& prefixHex, const Bytes& digest) {
  Bytes block = kit::FromHex(prefixHex);
  block.insert(block.end(), digest.begin(), digest.end());
  return block;
}

Bytes OpensslDigest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
  out.resize(n);
  return out;
}

// Every DigestInfo of the table, signed by OpenSSL with raw PKCS #1 v1.5:
// verifies over the right data, fails over changed data; MD5 and SHA-0 are
// refused as signatures. The digest a signature carries is named either way.
TEST_F(RsaVerify, EveryDigestInfoOfTheTable) {
  const Bytes abc = {'a', 'b', 'c'};
  const Bytes data = kit::RandomBytes(100);
  struct Row {
    const char* name;
    Bytes data;
    Bytes block;
    int nid;
    uint32_t expected = 0;
  } rows[] = {
      {"MD5", data,
       DigestInfo("3020300C06082A864886F70D020505000410",
                  OpensslDigest(EVP_md5(), data)),
       4, 5035},
      // SHA-0 of "abc", FIPS 180 (1993).
      {"SHA-0", abc,
       DigestInfo("3021300906052B0E03021205000414",
                  kit::FromHex("0164b8a914cd2a5e74c4f7ff082c4d97f1edf880")),
       41, 5035},
      {"SHA-1", data,
       DigestInfo("3021300906052B0E03021A05000414",
                  OpensslDigest(EVP_sha1(), data)),
       64},
      {"SHA-224", data,
       DigestInfo("302D300D06096086480165030402040500041C",
                  OpensslDigest(EVP_sha224(), data)),
       675},
      {"SHA-256", data,
       DigestInfo("3031300D060960864801650304020105000420",
                  OpensslDigest(EVP_sha256(), data)),
       672},
      {"SHA-384", data,
       DigestInfo("3041300D060960864801650304020205000430",
                  OpensslDigest(EVP_sha384(), data)),
       673},
      {"SHA-512", data,
       DigestInfo("3051300D060960864801650304020305000440",
                  OpensslDigest(EVP_sha512(), data)),
       674},
      {"SM3", data,
       DigestInfo("3030300C06082A811CCF5501831105000420",
                  OpensslDigest(EVP_sm3(), data)),
       920},
  };
  auto pub = kit::PubKeyOf(key_);
  for (const Row& row : rows) {
    const Bytes sig = kit::RsaSignBlock(key_, row.block);
    ASSERT_FALSE(sig.empty()) << row.name;
    EXPECT_EQ(row.nid, KXRsaSignatureDigest(pub.get(), sig.data(),
                                            static_cast<uint32_t>(sig.size())))
        << row.name;
    EXPECT_EQ(row.expected, KXVerifyData(pub.get(), row.data.data(),
                               static_cast<uint32_t>(row.data.size()),
                               sig.data(), static_cast<uint32_t>(sig.size())))
        << row.name;
    Bytes changed = row.data;
    changed[1] ^= 0x40;
    KXSetLastError(0);
    EXPECT_EQ(5035u,
              KXVerifyData(pub.get(), changed.data(),
                           static_cast<uint32_t>(changed.size()), sig.data(),
                           static_cast<uint32_t>(sig.size())))
        << row.name;
    EXPECT_EQ(KXGetLastError(), 5035) << row.name;
  }
}

// Blocks whose length or prefix names no digest of the table, and broken
// signatures: 5035.
TEST_F(RsaVerify, UnknownDigestInfoAndBadSignaturesFail) {
  const Bytes data = kit::RandomBytes(40);
  const Bytes sha1 = OpensslDigest(EVP_sha1(), data);
  const Bytes sha256 = OpensslDigest(EVP_sha256(), data);
  struct Row {
    const char* name;
    Bytes block;
  } rows[] = {
      {"bare SHA-1 digest", sha1},
      {"bare SHA-256 digest", sha256},
      {"SHA-1 digest behind the MD5 prefix (length 34? no: 38)",
       DigestInfo("3020300C06082A864886F70D020505000410", sha1)},
      {"35 bytes with an unknown OID",
       DigestInfo("3021300906052B0E03021B05000414", sha1)},
      {"SHA-1 digest behind the SM3 prefix",
       DigestInfo(
           "3030300C06082A811CCF5501831105000420",
           Bytes(sha256.begin(), sha256.end()))},  // right length, wrong digest
      {"SHA-256 DigestInfo of other data",
       DigestInfo("3031300D060960864801650304020105000420",
                  OpensslDigest(EVP_sha256(), Bytes{1}))},
  };
  auto pub = kit::PubKeyOf(key_);
  for (const Row& row : rows) {
    const Bytes sig = kit::RsaSignBlock(key_, row.block);
    EXPECT_EQ(
        5035u,
        KXVerifyData(pub.get(), data.data(), static_cast<uint32_t>(data.size()),
                     sig.data(), static_cast<uint32_t>(sig.size())))
        << row.name;
  }
  Bytes sig = kit::RsaSignBlock(
      key_, DigestInfo("3021300906052B0E03021A05000414", sha1));
  ASSERT_EQ(0u, KXVerifyData(pub.get(), data.data(), 40, sig.data(),
                             static_cast<uint32_t>(sig.size())));
  Bytes flipped = sig;
  flipped[10] ^= 1;
  EXPECT_EQ(5035u, KXVerifyData(pub.get(), data.data(), 40, flipped.data(),
                                static_cast<uint32_t>(flipped.size())));
  EXPECT_EQ(5035u, KXVerifyData(pub.get(), data.data(), 40, sig.data(), 0));
  EXPECT_EQ(5035u, KXVerifyData(pub.get(), data.data(), 40, sig.data(),
                                static_cast<uint32_t>(sig.size()) - 1));
  EXPECT_EQ(5002u, KXVerifyData(nullptr, data.data(), 40, sig.data(), 256));
  EXPECT_EQ(5002u, KXVerifyData(pub.get(), nullptr, 40, sig.data(), 256));
  EXPECT_EQ(5002u, KXVerifyData(pub.get(), data.data(), 40, nullptr, 256));
}

TEST_F(RsaVerify, SignDataIsSha1DigestInfoThatOpensslAccepts) {
  const Bytes data = kit::RandomBytes(333);
  const Bytes sig = Of(KXSignData(data.data(), 333, key_));
  ASSERT_EQ(sig.size(), 256u);
  std::unique_ptr<EVP_MD_CTX, kit::Free> md(EVP_MD_CTX_new());
  ASSERT_EQ(1,
            EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha1(), nullptr, key_));
  EXPECT_EQ(1, EVP_DigestVerify(md.get(), sig.data(), sig.size(), data.data(),
                                data.size()));
  auto pub = kit::PubKeyOf(key_);
  EXPECT_EQ(0u, KXVerifyData(pub.get(), data.data(), 333, sig.data(), 256));

  kit::Key sm2 = kit::Sm2Key();
  EXPECT_TRUE(KXSignData(data.data(), 333, sm2.get()).empty());
  EXPECT_TRUE(KXSignData(data.data(), 333, nullptr).empty());
}

TEST(Sm2Verify, CertificateKeyWithOpensslSignatures) {
  kit::Key key = kit::Sm2Key();
  auto pub = kit::PubKeyOf(key.get());
  const Bytes data = kit::RandomBytes(200);
  const Bytes der = kit::OsslSm2Sign(key.get(), data);
  shared_ptr<ECDSA_SIG> sig =
      KXStrToECSig(der.data(), static_cast<int>(der.size()));
  const BIGNUM *r, *s;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  Bytes raw(64);
  BN_bn2binpad(r, raw.data(), 32);
  BN_bn2binpad(s, raw.data() + 32, 32);

  EXPECT_EQ(0u, KXVerifyData(pub.get(), data.data(), 200, der.data(),
                             static_cast<uint32_t>(der.size())));
  EXPECT_EQ(0u, KXVerifyData(pub.get(), data.data(), 200, raw.data(), 64));
  Bytes changed = data;
  changed[0] ^= 1;
  EXPECT_EQ(5035u,
            KXVerifyData(pub.get(), changed.data(), 200, raw.data(), 64));
  kit::Key other = kit::Sm2Key();
  auto otherPub = kit::PubKeyOf(other.get());
  EXPECT_EQ(5035u,
            KXVerifyData(otherPub.get(), data.data(), 200, raw.data(), 64));
  KXSetLastError(0);
  EXPECT_EQ(5010u, KXVerifyData(pub.get(), data.data(), 200, raw.data(), 10));
  EXPECT_EQ(KXGetLastError(), 5010);
  // A DER value must be the SEQUENCE alone.
  Bytes trailing = der;
  trailing.push_back(0x00);
  EXPECT_EQ(5010u, KXVerifyData(pub.get(), data.data(), 200, trailing.data(),
                                static_cast<uint32_t>(trailing.size())));
  EXPECT_EQ(0, KXRsaSignatureDigest(pub.get(), raw.data(), 64));

  kit::Key p256 = kit::P256Key();
  auto p256Pub = kit::PubKeyOf(p256.get());
  EXPECT_EQ(5001u,
            KXVerifyData(p256Pub.get(), data.data(), 200, raw.data(), 64));
}

TEST(VerifyX509, IssuerSignatures) {
  kit::Key rsaRoot = kit::RsaKey(), sm2Root = kit::Sm2Key(),
           leafKey = kit::Sm2Key();
  kit::Cert rsaSelf = kit::MakeCert(rsaRoot.get(), rsaRoot.get());
  kit::Cert sm2Self = kit::MakeCert(sm2Root.get(), sm2Root.get());
  kit::Cert leafBySm2 = kit::MakeCert(leafKey.get(), sm2Root.get());
  kit::Cert leafByRsa = kit::MakeCert(leafKey.get(), rsaRoot.get());
  const X509_PUBKEY* rsaPub = X509_get_X509_PUBKEY(rsaSelf.get());
  const X509_PUBKEY* sm2Pub = X509_get_X509_PUBKEY(sm2Self.get());
  // The issuer certificates are signed with SHA-256 (RSA) and SM3 with the
  // default identifier (SM2).
  EXPECT_EQ(0, KXVerifyX509(rsaSelf.get(), rsaPub));
  EXPECT_EQ(0, KXVerifyX509(sm2Self.get(), sm2Pub));
  EXPECT_EQ(0, KXVerifyX509(leafBySm2.get(), sm2Pub));
  EXPECT_EQ(0, KXVerifyX509(leafByRsa.get(), rsaPub));
  EXPECT_EQ(5011, KXVerifyX509(leafBySm2.get(), rsaPub));
  EXPECT_EQ(5011, KXVerifyX509(leafByRsa.get(), sm2Pub));
  EXPECT_EQ(5011, KXVerifyX509(leafBySm2.get(),
                               X509_get_X509_PUBKEY(leafBySm2.get())));
  EXPECT_EQ(5002, KXVerifyX509(nullptr, sm2Pub));
  EXPECT_EQ(5002, KXVerifyX509(sm2Self.get(), nullptr));
}

// The issuer signed the certificate's bytes as they were encoded, not a fresh
// encoding: a BOOLEAN TRUE written as 01 (BER) instead of FF must still
// verify, and the certificate object must not change.
TEST(VerifyX509, SignedBytesAsEncoded) {
  kit::Key key = kit::RsaKey();
  kit::Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  kit::AddName(X509_get_subject_name(cert.get()), "BER");
  kit::AddName(X509_get_issuer_name(cert.get()), "BER");
  X509_set_pubkey(cert.get(), key.get());
  X509_EXTENSION* bc = X509V3_EXT_conf_nid(
      nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
  X509_add_ext(cert.get(), bc, -1);
  X509_EXTENSION_free(bc);
  ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
  Bytes der = kit::Der(cert.get());
  // The tbsCertificate, with every "01 01 FF" (BOOLEAN TRUE) turned into
  // "01 01 01"; then sign those bytes and rebuild the certificate.
  const unsigned char* p = der.data();
  long len = 0;
  int tag, cls;
  ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size()));
  const unsigned char* tbsStart = p;
  ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size()));
  Bytes tbs(tbsStart, p + len);
  int changed = 0;
  for (size_t i = 0; i + 2 < tbs.size(); ++i)
    if (tbs[i] == 0x01 && tbs[i + 1] == 0x01 && tbs[i + 2] == 0xFF) {
      tbs[i + 2] = 0x01;
      ++changed;
    }
  ASSERT_GT(changed, 0);
  Bytes sig(256);
  size_t sigLen = sig.size();
  std::unique_ptr<EVP_MD_CTX, kit::Free> md(EVP_MD_CTX_new());
  ASSERT_EQ(1, EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr,
                                  key.get()));
  ASSERT_EQ(
      1, EVP_DigestSign(md.get(), sig.data(), &sigLen, tbs.data(), tbs.size()));
  // Certificate ::= SEQUENCE { tbs, AlgorithmIdentifier sha256WithRSA, BIT
  // STRING }
  Bytes body = tbs;
  const Bytes alg = kit::FromHex("300D06092A864886F70D01010B0500");
  body.insert(body.end(), alg.begin(), alg.end());
  body.push_back(0x03);
  body.push_back(0x82);
  body.push_back(static_cast<unsigned char>((sigLen + 1) >> 8));
  body.push_back(static_cast<unsigned char>(sigLen + 1));
  body.push_back(0x00);
  body.insert(body.end(), sig.begin(), sig.begin() + sigLen);
  Bytes rebuilt = {0x30, 0x82, static_cast<unsigned char>(body.size() >> 8),
                   static_cast<unsigned char>(body.size())};
  rebuilt.insert(rebuilt.end(), body.begin(), body.end());

  shared_ptr<X509> parsed =
      KXStrToX509(rebuilt.data(), static_cast<int>(rebuilt.size()));
  ASSERT_TRUE(parsed);
  auto pub = kit::PubKeyOf(key.get());
  EXPECT_EQ(0, KXVerifyX509(parsed.get(), pub.get()));
  EXPECT_EQ(kit::Der(parsed.get()), rebuilt);  // still the bytes as read
  EXPECT_EQ(0, KXVerifyX509(parsed.get(), pub.get()));
}

}  // namespace
