// The seal services' digest, signature and certificate checks: codes, log
// lines, and agreement with the SM2 digest and OpenSSL's signatures.
#include <gtest/gtest.h>

#include <functional>

#include "KXSM.h"
#include "SealCore.h"
#include "crypto/crypto_kit.h"
#include "test_process.h"

namespace {

using kit::Bytes;

class SealChecks : public ::testing::Test {
 protected:
  void SetUp() override { fx::TestLog::Watch(); }
  std::string Log() const { return fx::TestLog::Since(); }
};

TEST_F(SealChecks, DigestLengthQueriesNeedNoCertificate) {
  const unsigned char data[] = "data";
  for (uint32_t alg : {64u, 0u, 1u, 920u, 65535u}) {
    uint32_t len = 0;
    EXPECT_EQ(0u, SEBF_DigestData(alg, data, 4, nullptr, 0, nullptr, &len));
    EXPECT_EQ(len, alg == 64 ? 35u : 32u) << alg;
  }
}

TEST_F(SealChecks, DigestDataSha1) {
  const Bytes data = kit::RandomBytes(99);
  unsigned char out[40];
  uint32_t len = 34;
  EXPECT_EQ(5003u, SEBF_DigestData(64, data.data(), 99, nullptr, 0, out, &len));
  EXPECT_EQ(len, 35u);
  len = 35;
  ASSERT_EQ(0u, SEBF_DigestData(64, data.data(), 99, nullptr, 0, out, &len));
  ASSERT_EQ(len, 35u);
  Bytes expected = kit::FromHex("3021300906052B0E03021A05000414");
  unsigned char sha1[20];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), sha1, &n, EVP_sha1(), nullptr);
  expected.insert(expected.end(), sha1, sha1 + 20);
  EXPECT_EQ(Bytes(out, out + 35), expected);
  EXPECT_NE(
      Log().find(
          "SEBF_DigestData==>5003 -- arguments sha1 dig buffer too small"),
      std::string::npos);
}

TEST_F(SealChecks, DigestDataSm2AgreesWithSignerAndVerifier) {
  kit::Key key = kit::Sm2Key();
  kit::Cert cert = kit::MakeCert(key.get(), key.get());
  const Bytes der = kit::Der(cert.get());
  const Bytes data = kit::RandomBytes(500);
  unsigned char e[32];
  uint32_t len = 32;
  ASSERT_EQ(0u, SEBF_DigestData(920, data.data(), 500, der.data(),
                                static_cast<uint32_t>(der.size()), e, &len));
  ASSERT_EQ(len, 32u);
  const Bytes point = kit::PublicPoint(key.get());
  shared_ptr<EC_POINT> pub = KXStrToECPoint(point.data(), 65);
  unsigned char expected[32];
  ASSERT_EQ(1, SM2_do_dgst(expected, data.data(), 500, pub.get()));
  EXPECT_EQ(Bytes(e, e + 32), Bytes(expected, expected + 32));

  // A signature over e (what a key device makes) passes SEBF_VerifyData.
  kit::Bn d = kit::PrivateScalar(key.get());
  std::unique_ptr<ECDSA_SIG, kit::Free> sig(ECDSA_SIG_new());
  ASSERT_EQ(1, SM2_do_sign(sig.get(), e, d.get()));
  ckxstr sigDer = KXECSigToStr(sig.get());
  const unsigned char* s =
      reinterpret_cast<const unsigned char*>(sigDer.c_str());
  EXPECT_EQ(0u, SEBF_VerifyData(data.data(), 500, der.data(),
                                static_cast<uint32_t>(der.size()), s,
                                sigDer.length()));
  // And so does OpenSSL's own signature over the data.
  const Bytes theirs = kit::OsslSm2Sign(key.get(), data);
  EXPECT_EQ(0u,
            SEBF_VerifyData(data.data(), 500, der.data(),
                            static_cast<uint32_t>(der.size()), theirs.data(),
                            static_cast<uint32_t>(theirs.size())));
}

struct CodeRow {
  const char* name;
  std::function<uint32_t()> call;
  uint32_t code;
  const char* logLine;  // null: no log line expected
};

void RunRows(const std::vector<CodeRow>& rows,
             const std::function<std::string()>& log) {
  for (const CodeRow& row : rows) {
    EXPECT_EQ(row.call(), row.code) << row.name;
    if (row.logLine != nullptr) {
      EXPECT_NE(log().find(row.logLine), std::string::npos) << row.name;
    }
  }
}

TEST_F(SealChecks, DigestDataFailures) {
  kit::Key rsa = kit::RsaKey();
  kit::Cert rsaCert = kit::MakeCert(rsa.get(), rsa.get());
  const Bytes rsaDer = kit::Der(rsaCert.get());
  kit::Key sm2 = kit::Sm2Key();
  kit::Cert sm2Cert = kit::MakeCert(sm2.get(), sm2.get());
  const std::string b64 = kit::Base64(kit::Der(sm2Cert.get()));
  const unsigned char data[] = "data";
  unsigned char out[64];
  uint32_t len = 0;
  const std::vector<CodeRow> rows = {
      {"null data",
       [&] {
         len = 64;
         return SEBF_DigestData(920, nullptr, 4, rsaDer.data(), 10, out, &len);
       },
       5002, "SEBF_DigestData==>5002 -- arguments error"},
      {"null length",
       [&] { return SEBF_DigestData(64, data, 4, nullptr, 0, out, nullptr); },
       5002, nullptr},
      {"sm3 buffer 31 beats null cert",
       [&] {
         len = 31;
         return SEBF_DigestData(920, data, 4, nullptr, 0, out, &len);
       },
       5003, "SEBF_DigestData==>5003 -- arguments sm3 dig buffer too small"},
      {"length set to 32", [&] { return len; }, 32, nullptr},
      {"null cert",
       [&] {
         len = 32;
         return SEBF_DigestData(920, data, 4, nullptr, 0, out, &len);
       },
       5002, "SEBF_DigestData==>5002 -- the arg pchCert is NULL"},
      {"RSA certificate",
       [&] {
         len = 32;
         return SEBF_DigestData(920, data, 4, rsaDer.data(),
                                static_cast<uint32_t>(rsaDer.size()), out,
                                &len);
       },
       5016, "SEBF_DigestData==>5016 -- KXStrToECPoint() gen ecc hash error"},
      {"Base64 certificate",
       [&] {
         len = 32;
         return SEBF_DigestData(
             0, data, 4, reinterpret_cast<const unsigned char*>(b64.data()),
             static_cast<uint32_t>(b64.size()), out, &len);
       },
       5010, "SEBF_DigestData==>5010 -- d2i_X509() pchCert error"},
      {"truncated DER",
       [&] {
         len = 32;
         return SEBF_DigestData(1, data, 4, rsaDer.data(),
                                static_cast<uint32_t>(rsaDer.size() - 1), out,
                                &len);
       },
       5010, nullptr},
  };
  RunRows(rows, [this] { return Log(); });
}

TEST_F(SealChecks, VerifyDataFailures) {
  kit::Key rsa = kit::RsaKey();
  kit::Cert cert = kit::MakeCert(rsa.get(), rsa.get());
  const std::string pem = kit::Pem(cert.get());
  const Bytes data = kit::RandomBytes(64);
  Bytes block = kit::FromHex("3021300906052B0E03021A05000414");
  unsigned char sha1[20];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), sha1, &n, EVP_sha1(), nullptr);
  block.insert(block.end(), sha1, sha1 + 20);
  const Bytes sig = kit::RsaSignBlock(rsa.get(), block);
  const auto* certBytes = reinterpret_cast<const unsigned char*>(pem.data());
  const uint32_t certLen = static_cast<uint32_t>(pem.size());
  Bytes flipped = data;
  flipped[5] ^= 1;
  const unsigned char junk[] = "not a certificate";
  const std::vector<CodeRow> rows = {
      {"valid (PEM certificate)",
       [&] {
         return SEBF_VerifyData(data.data(), 64, certBytes, certLen, sig.data(),
                                256);
       },
       0, nullptr},
      {"zero-length data accepted",
       [&] {
         return SEBF_VerifyData(data.data(), 0, certBytes, certLen, sig.data(),
                                256);
       },
       5035, nullptr},
      {"flipped data byte",
       [&] {
         return SEBF_VerifyData(flipped.data(), 64, certBytes, certLen,
                                sig.data(), 256);
       },
       5035, "SEBF_VerifyData==>5035 -- KXVerifyData() error"},
      {"empty signature",
       [&] {
         return SEBF_VerifyData(data.data(), 64, certBytes, certLen, sig.data(),
                                0);
       },
       5035, nullptr},
      {"unparsable certificate",
       [&] {
         return SEBF_VerifyData(data.data(), 64, junk, sizeof junk - 1,
                                sig.data(), 256);
       },
       5010, "SEBF_VerifyData==>5010 -- KXStrToX509() error"},
      {"certificate length beyond 2^31",
       [&] {
         return SEBF_VerifyData(data.data(), 64, certBytes, 0x80000000u,
                                sig.data(), 256);
       },
       5010, nullptr},
      {"null data",
       [&] {
         return SEBF_VerifyData(nullptr, 64, certBytes, certLen, sig.data(),
                                256);
       },
       5002, "SEBF_VerifyData==>5002 -- arguments error"},
      {"null certificate",
       [&] {
         return SEBF_VerifyData(data.data(), 64, nullptr, certLen, sig.data(),
                                256);
       },
       5002, nullptr},
      {"null signature",
       [&] {
         return SEBF_VerifyData(data.data(), 64, certBytes, certLen, nullptr,
                                256);
       },
       5002, nullptr},
  };
  RunRows(rows, [this] { return Log(); });
}

TEST_F(SealChecks, UserCertPeriod) {
  kit::Key key = kit::Sm2Key();
  kit::CertOptions expired, future, current;
  expired.notBeforeDays = -30;
  expired.notAfterDays = -1;
  future.notBeforeDays = 2;
  future.notAfterDays = 30;
  const Bytes expiredDer =
      kit::Der(kit::MakeCert(key.get(), key.get(), expired).get());
  const Bytes futureDer =
      kit::Der(kit::MakeCert(key.get(), key.get(), future).get());
  const Bytes currentDer =
      kit::Der(kit::MakeCert(key.get(), key.get(), current).get());

  // notBefore that is no time at all.
  kit::Cert bad = kit::MakeCert(key.get(), key.get());
  ASN1_STRING_set(X509_getm_notBefore(bad.get()), "99999999999999Z", -1);
  kit::SignCert(bad.get(), key.get());
  const Bytes badDer = kit::Der(bad.get());
  kit::Cert badEnd = kit::MakeCert(key.get(), key.get());
  ASN1_STRING_set(X509_getm_notAfter(badEnd.get()), "2401xx000000Z", -1);
  kit::SignCert(badEnd.get(), key.get());
  const Bytes badEndDer = kit::Der(badEnd.get());

  auto call = [](const Bytes& der, unsigned char flag) {
    return SEBF_VerifyUserCertLink(nullptr, der.data(),
                                   static_cast<uint32_t>(der.size()), flag, 0);
  };
  const unsigned char junk[] = "junk";
  const std::vector<CodeRow> rows = {
      {"current, checked", [&] { return call(currentDer, 1); }, 0, nullptr},
      {"expired, not checked", [&] { return call(expiredDer, 0); }, 0, nullptr},
      {"expired, checked", [&] { return call(expiredDer, 1); }, 5019,
       "SEBF_VerifyUserCertLink==>5019 -- cert time expired"},
      {"not yet valid", [&] { return call(futureDer, 2); }, 5019, nullptr},
      {"bad start", [&] { return call(badDer, 1); }, 5039,
       "SEBF_VerifyUserCertLink==>5039 -- KXASN1ToTime() cert start time "
       "error"},
      {"bad end", [&] { return call(badEndDer, 1); }, 5039,
       "SEBF_VerifyUserCertLink==>5039 -- KXASN1ToTime() cert end time error"},
      {"bad start, not checked", [&] { return call(badDer, 0); }, 0, nullptr},
      {"null certificate",
       [&] { return SEBF_VerifyUserCertLink(nullptr, nullptr, 100, 1, 1); },
       5002, "SEBF_VerifyUserCertLink==>5002 -- arguments error"},
      {"unparsable",
       [&] { return SEBF_VerifyUserCertLink(nullptr, junk, 4, 0, 1); }, 5010,
       "SEBF_VerifyUserCertLink==>5010 -- KXStrToX509() cert to x509 "
       "error,invalid cert"},
  };
  RunRows(rows, [this] { return Log(); });
}

}  // namespace
