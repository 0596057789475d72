// Family detection of seals (SE_CheckSealVerson, exported) and of seal
// signatures (ES_CheckSealSignVerson, libsealverify's own, compiled into this
// test): the answer for each shape of input and the log line on failure.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>

#include "codecs.h"
#include "test_process.h"

namespace formats_test {
namespace {

using fx::Family;

const unsigned kUntouched = 0xDEADBEEF;
const unsigned kFail = 5023;

struct Row {
  const char* label;
  Bytes input;
  unsigned result;   // 0 or 5023
  unsigned version;  // written on success; untouched on failure
};

void RunTable(unsigned (*detect)(const unsigned char*, unsigned, unsigned*),
              const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    unsigned version = kUntouched;
    EXPECT_EQ(detect(row.input.data(), static_cast<unsigned>(row.input.size()),
                     &version),
              row.result);
    EXPECT_EQ(version, row.result == 0 ? row.version : kUntouched);
  }
}

fx::SealSpec SealVersion(int64_t version) {
  fx::SealSpec s;
  s.version = version;
  return s;
}
fx::SealSpec SealVersionContent(Bytes content) {
  fx::SealSpec s;
  s.versionContent = std::move(content);
  return s;
}

TEST(FormatsDetect, SealFamilies) {
  Bytes gov = fx::MakeSeal(Family::kGov);
  fx::SealSpec digests;
  digests.govCertDigests =
      std::vector<fx::CertDigestSpec>{{"SM3", Bytes(32, 2)}};
  RunTable(&SE_CheckSealVerson,
           {
               {"GOV seal", gov, 0, 4},
               {"GIN seal", fx::MakeSeal(Family::kGin), 0, 3},
               {"plain seal, version 2", fx::MakeSeal(Family::kPlain), 0, 2},
               {"plain seal, version 1",
                fx::MakeSeal(Family::kPlain, SealVersion(1)), 0, 1},
               // The layout decides before the header version does.
               {"GOV seal with header version 2",
                fx::MakeSeal(Family::kGov, SealVersion(2)), 0, 4},
               {"GIN seal with header version 4",
                fx::MakeSeal(Family::kGin, SealVersion(4)), 0, 3},
               // A plain seal's version 3 or 4 sends its reader down the GIN
               // or GOV path, where it then fails to decode.
               {"plain seal, version 3",
                fx::MakeSeal(Family::kPlain, SealVersion(3)), 0, 3},
               {"plain seal, version 4",
                fx::MakeSeal(Family::kPlain, SealVersion(4)), 0, 4},
               {"plain seal, version 0x0102",
                fx::MakeSeal(Family::kPlain, SealVersionContent({1, 2})), 0, 1},
               {"plain seal, version 256",
                fx::MakeSeal(Family::kPlain, SealVersion(256)), 0, 1},
               {"plain seal, version 200",
                fx::MakeSeal(Family::kPlain, SealVersion(200)), 0, 200},
               // Negative versions: the first DER content octet, not the
               // magnitude (which would send -4 down the GOV path).
               {"plain seal, version -4",
                fx::MakeSeal(Family::kPlain, SealVersion(-4)), 0, 0xFC},
               {"plain seal, version -256",
                fx::MakeSeal(Family::kPlain, SealVersion(-256)), 0, 0xFF},
               {"trailing bytes", fx::Concat({gov, {0xFF, 0xFF}}), 0, 4},
               {"empty", {}, kFail, 0},
               {"truncated", Bytes(gov.begin(), gov.end() - 10), kFail, 0},
               {"GOV seal listing CertDigstObj",
                fx::MakeSeal(Family::kGov, digests), kFail, 0},
               {"a signature is not a seal", fx::MakeSignature(Family::kGov),
                kFail, 0},
               {"garbage", fx::ToBytes("not a seal"), kFail, 0},
           });
}

// The answer for a plain seal with version 3 or 4 selects a family whose
// decoder then rejects the seal.
TEST(FormatsDetect, PlainSealWithFamilyVersionFailsInThatFamily) {
  unsigned version = 0;
  Bytes v4 = fx::MakeSeal(Family::kPlain, SealVersion(4));
  ASSERT_EQ(
      SE_CheckSealVerson(v4.data(), static_cast<unsigned>(v4.size()), &version),
      0u);
  ASSERT_EQ(version, 4u);
  EXPECT_FALSE(kx::der::Decode<GOV_SESeal_t>(v4));
  Bytes v3 = fx::MakeSeal(Family::kPlain, SealVersion(3));
  ASSERT_EQ(
      SE_CheckSealVerson(v3.data(), static_cast<unsigned>(v3.size()), &version),
      0u);
  ASSERT_EQ(version, 3u);
  EXPECT_FALSE(kx::der::Decode<GIN_SESeal_t>(v3));
}

unsigned SignatureDetector(const unsigned char* data, unsigned len,
                           unsigned* v) {
  return ES_CheckSealSignVerson(data, len, v);
}

fx::SignatureSpec SigVersion(int64_t version) {
  fx::SignatureSpec s;
  s.version = version;
  return s;
}

TEST(FormatsDetect, SignatureFamilies) {
  Bytes gin = fx::MakeSignature(Family::kGin);
  fx::SignatureSpec embedded;
  embedded.ginEmbeddedSeal = true;
  fx::SignatureSpec plainV1 = SigVersion(1);
  RunTable(
      &SignatureDetector,
      {
          {"GOV signature", fx::MakeSignature(Family::kGov), 0, 4},
          {"GIN signature", gin, 0, 3},
          {"plain signature, version 2", fx::MakeSignature(Family::kPlain), 0,
           2},
          {"plain signature, version 1",
           fx::MakeSignature(Family::kPlain, plainV1), 0, 1},
          {"plain signature, version 3",
           fx::MakeSignature(Family::kPlain, SigVersion(3)), 0, 3},
          {"plain signature, version 4",
           fx::MakeSignature(Family::kPlain, SigVersion(4)), 0, 4},
          {"plain signature, version -3",
           fx::MakeSignature(Family::kPlain, SigVersion(-3)), 0, 0xFD},
          {"GOV signature with version 2",
           fx::MakeSignature(Family::kGov, SigVersion(2)), 0, 4},
          {"GIN signature in libsealcore's layout",
           fx::MakeSignature(Family::kGin, embedded), kFail, 0},
          {"trailing bytes", fx::Concat({gin, {0x00}}), 0, 3},
          {"empty", {}, kFail, 0},
          {"truncated", Bytes(gin.begin(), gin.end() - 1), kFail, 0},
          {"a seal is not a signature", fx::MakeSeal(Family::kGov), kFail, 0},
      });
}

// Failed trial decodes are part of the answer: neither detector leaves them
// on libcrypto's error queue for the caller to trip over.
TEST(FormatsDetect, TrialDecodesLeaveNoLibcryptoErrors) {
  ERR_clear_error();
  unsigned version = 0;
  Bytes plain = fx::MakeSeal(Family::kPlain);
  ASSERT_EQ(SE_CheckSealVerson(plain.data(),
                               static_cast<unsigned>(plain.size()), &version),
            0u);
  EXPECT_EQ(ERR_peek_error(), 0u);
  Bytes sig = fx::MakeSignature(Family::kPlain);
  ASSERT_EQ(ES_CheckSealSignVerson(sig.data(),
                                   static_cast<unsigned>(sig.size()), &version),
            0u);
  EXPECT_EQ(ERR_peek_error(), 0u);
  EXPECT_EQ(SE_CheckSealVerson(sig.data(), static_cast<unsigned>(sig.size()),
                               &version),
            kFail);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

// Both detectors write their one ERROR line when nothing decodes.
TEST(FormatsDetect, FailureWritesTheLogLine) {
  fx::TestLog::Watch();
  unsigned version = 0;
  const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(SE_CheckSealVerson(junk, sizeof junk, &version), kFail);
  EXPECT_EQ(ES_CheckSealSignVerson(junk, sizeof junk, &version), kFail);
  const std::string text = fx::TestLog::Since();
  EXPECT_NE(text.find("SE_CheckSealVerson-->5023 -- seal data error"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("ES_CheckSealSignVerson-->5023 -- sealsign data error"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace formats_test
