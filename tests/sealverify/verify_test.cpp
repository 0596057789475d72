// SEF_OfdESealSign_Verify against signatures made by the fixture kit with
// OpenSSL's own SM2 and RSA: valid signatures of every family verify, and
// each broken step fails with its code and its log line.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KXLog.h"
#include "SealProperty.h"
#include "SealVerify.h"
#include "fixtures.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;
using fx::Bytes;
using fx::Family;

const Family kFamilies[] = {Family::kPlain, Family::kGin, Family::kGov};

std::string Line(const char* format, unsigned int code) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, code);
  return buf;
}

unsigned int Verify(const Bytes& digest, const Bytes& sig) {
  return SEF_OfdESealSign_Verify(digest.data(),
                                 static_cast<unsigned int>(digest.size()),
                                 sig.data(), static_cast<unsigned int>(sig.size()));
}

Bytes Digest() { return fx::Sm3(fx::ToBytes("the signed document data")); }

// Someone else's key and self-signed certificate, as a forger has.
const fx::Credential& Forger() {
  static const fx::Credential forger = [] {
    fx::CertSpec cert;
    cert.subject.CN = "FORGED";
    return fx::MakeCredential(cert);
  }();
  return forger;
}

fx::SignatureSpec SpecFor(fx::KeyType signer) {
  fx::SignatureSpec params;
  params.dataHash = Digest();
  params.signer = fx::DefaultSigner(signer);
  return params;
}

TEST(Verify, ValidSignaturesOfEveryFamilyAndSignerVerify) {
  for (Family family : kFamilies) {
    for (fx::KeyType signer : {fx::KeyType::kSm2, fx::KeyType::kRsa}) {
      Bytes sig = fx::MakeSignature(family, SpecFor(signer));
      EXPECT_EQ(Verify(Digest(), sig), 0u)
          << fx::FamilyName(family) << (signer == fx::KeyType::kRsa ? " RSA" : " SM2");
    }
  }
}

// Owners named by certificate (plain, GOV), by bare SM3 digest and by SM3
// DigestInfo (GIN), among other owners.
TEST(Verify, SignersNamedAmongTheSealOwnersVerify) {
  const Bytes& cert = fx::DefaultSigner().certDer;
  const Bytes other = Forger().certDer;
  const Bytes digestInfo = fx::Concat(
      {fx::FromHex("3030300C06082A811CCF5501831105000420"), fx::Sm3(cert)});
  for (Family family : kFamilies) {
    fx::SealSpec seal;
    seal.ownerCerts = std::vector<Bytes>{other, cert};
    if (family == Family::kGin)
      seal.ginCertDigests = std::vector<fx::CertDigestSpec>{
          {fx::kOidSm3, fx::Sm3(other)}, {fx::kOidSm3, digestInfo}};
    fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
    params.seal = fx::MakeSeal(family, seal);
    EXPECT_EQ(Verify(Digest(), fx::MakeSignature(family, params)), 0u)
        << fx::FamilyName(family);
  }
}

TEST(Verify, SealsMadeWithRsaAndOptionalFieldsVerify) {
  for (Family family : kFamilies) {
    fx::SealSpec seal;
    seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
    seal.extDatas = std::vector<fx::ExtensionSpec>{{}, {}};
    fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
    params.seal = fx::MakeSeal(family, seal);
    if (family == Family::kGin) params.verfyResult = fx::ResultDataSpec{};
    if (family == Family::kGov) {
      params.extDatas = std::vector<fx::ExtensionSpec>{{}};
      params.timeStamp = std::vector<Bytes>{Bytes{1, 2, 3}};
    }
    Bytes sig = fx::MakeSignature(family, params);
    EXPECT_EQ(Verify(Digest(), sig), 0u) << fx::FamilyName(family);
    // Bytes after the signature are ignored.
    Bytes trailing = sig;
    trailing.push_back(0);
    EXPECT_EQ(Verify(Digest(), trailing), 0u) << fx::FamilyName(family);
  }
}

TEST(Verify, ArgumentsAndUndecodableBytes) {
  Bytes sig = fx::MakeSignature(Family::kGov, SpecFor(fx::KeyType::kSm2));
  fx::TestLog::Watch();
  EXPECT_EQ(SEF_OfdESealSign_Verify(nullptr, 32, sig.data(), 10), 5002u);
  EXPECT_EQ(SEF_OfdESealSign_Verify(Digest().data(), 32, nullptr, 10), 5002u);
  EXPECT_NE(fx::TestLog::Since().find(Line(
                "SEF_OfdESealSign_Verify==>%08x -- arguments error", 5002)),
            std::string::npos);

  fx::TestLog::Watch();
  const Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(Verify(Digest(), junk), 5023u);
  EXPECT_EQ(SEF_OfdESealSign_Verify(Digest().data(), 32, junk.data(), 0), 5023u);
  Bytes truncated(sig.begin(), sig.begin() + static_cast<long>(sig.size() / 2));
  EXPECT_EQ(Verify(Digest(), truncated), 5023u);
  EXPECT_NE(fx::TestLog::Since().find(Line("SEF_OfdESealSign_Verify==>%08x -- "
                                           "ES_CheckSealSignVerson() error",
                                           5023)),
            std::string::npos);
}

// One row per step of the verification that can fail on a signature.
struct BrokenRow {
  const char* what;
  Family family;
  unsigned int code;
  const char* line;  // printf format of the expected log text, with the code
  void (*edit)(fx::SignatureSpec*, Bytes* digest);
};

// A seal with fixed dates, so that what its maker signs is the same on every
// call; `signedPart` receives those bytes.
fx::SealSpec FixedSeal() {
  fx::SealSpec seal;
  seal.createDate = seal.validStart = 1700000000;
  seal.validEnd = 1900000000;
  return seal;
}

// A signer signature (plain family) that is right but followed by one byte
// inside the signature value.
void TrailingSignerByte(fx::SignatureSpec* s, Bytes*) {
  s->seal = fx::MakeSeal(Family::kPlain, FixedSeal());
  s->signTime = 1800000000;
  Bytes tbs;
  fx::MakeSignature(Family::kPlain, *s, &tbs);
  s->signature = fx::Sign(fx::DefaultSigner(), tbs);
  s->signature->push_back(0x00);
}

const BrokenRow kBroken[] = {
    {"plain signature with version 3", Family::kPlain, 5024,
     "SEF_OfdESealSign_Verify==>%08x -- d2i_GIN_SESSignature() error",
     [](fx::SignatureSpec* s, Bytes*) { s->version = 3; }},
    {"GIN seal bytes that are not a seal", Family::kGin, 5023,
     "SEF_OfdESealSignDataOnlyCertinKey_OnLine_Net==>%08x -- d2i_GIN_SESeal() "
     "error",
     [](fx::SignatureSpec* s, Bytes*) { s->seal = Bytes{0x04, 0x01, 0x00}; }},
    {"bad maker signature, plain", Family::kPlain, 5035,
     "ES_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.signData = Bytes(64, 0x11);
       s->seal = fx::MakeSeal(Family::kPlain, seal);
     }},
    {"bad maker signature, GIN", Family::kGin, 5035,
     "ES_Gin_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       // A maker signature over other bytes.
       fx::SealSpec seal;
       seal.signData = fx::Sign(fx::DefaultMaker(), fx::ToBytes("other"));
       s->seal = fx::MakeSeal(Family::kGin, seal);
     }},
    {"bad maker signature, GOV", Family::kGov, 5035,
     "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
       seal.signData = fx::Sign(fx::DefaultMaker(fx::KeyType::kRsa),
                                fx::ToBytes("other"));
       s->seal = fx::MakeSeal(Family::kGov, seal);
     }},
    {"empty signer certificate, plain", Family::kPlain, 5029,
     "SEF_OfdESealSign_Verify==>%08x -- cert in tbs sign error",
     [](fx::SignatureSpec* s, Bytes*) { s->cert = Bytes(); }},
    {"empty signer certificate, GIN", Family::kGin, 5029,
     "SEF_OfdESealSign_Verify==>%08x --ginSeal cert in tbs sign error",
     [](fx::SignatureSpec* s, Bytes*) { s->cert = Bytes(); }},
    {"empty signer certificate, GOV", Family::kGov, 5029,
     "SEF_OfdESealSign_Verify==>%08x -- govSeal cert in tbs sign error",
     [](fx::SignatureSpec* s, Bytes*) { s->cert = Bytes(); }},
    {"signer certificate that is not X.509", Family::kGov, 5010,
     "SEF_OfdESealSign_Verify==>%08x -- KXStrToX509() error,invalid cert",
     [](fx::SignatureSpec* s, Bytes*) {
       s->cert = Bytes{0x30, 0x03, 0x02, 0x01, 0x05};
     }},
    {"digest that differs, plain", Family::kPlain, 5013,
     "SEF_ESealSign_Verify==>%08x -- verify esign datahash error",
     [](fx::SignatureSpec*, Bytes* d) { (*d)[0] ^= 1; }},
    {"digest that differs, GIN", Family::kGin, 5013,
     "SEF_ESealSign_Verify==>%08x --ginSeal verify esign datahash error",
     [](fx::SignatureSpec*, Bytes* d) { (*d)[31] ^= 0x80; }},
    {"digest that is a prefix, GOV", Family::kGov, 5013,
     "SEF_OfdESealSign_Verify==>%08x --govSeal verify esign datahash error",
     [](fx::SignatureSpec*, Bytes* d) { d->resize(31); }},
    {"bad signer signature, plain", Family::kPlain, 5035,
     "ES_VerifySignVaild==>%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) { s->signature = Bytes(64, 0x22); }},
    {"bad signer signature, GIN", Family::kGin, 5035,
     "ES_VerifySignVaild==>%08x --ginSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signature = fx::Sign(fx::DefaultSigner(), fx::ToBytes("other"));
     }},
    {"bad signer signature, GOV RSA", Family::kGov, 5035,
     "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signer = fx::DefaultSigner(fx::KeyType::kRsa);
       s->signature =
           fx::Sign(fx::DefaultSigner(fx::KeyType::kRsa), fx::ToBytes("x"));
     }},
    {"signature by another key", Family::kGov, 5035,
     "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->cert = fx::DefaultMaker().certDer;  // signed by DefaultSigner
     }},
    // A seal copied out of a genuine document, signed with the forger's own
    // key: every signature is right, but the signer does not own the seal.
    {"copied seal, plain", Family::kPlain, 5032,
     "SEF_OfdESealSign_Verify==>%08x -- signer cert is not an owner of the "
     "seal",
     [](fx::SignatureSpec* s, Bytes*) {
       s->seal = fx::MakeSeal(Family::kPlain);
       s->signer = Forger();
     }},
    {"copied seal, GIN (owner digests)", Family::kGin, 5032,
     "SEF_OfdESealSign_Verify==>%08x -- signer cert is not an owner of the "
     "seal",
     [](fx::SignatureSpec* s, Bytes*) {
       s->seal = fx::MakeSeal(Family::kGin);
       s->signer = Forger();
     }},
    {"copied seal, GOV", Family::kGov, 5032,
     "SEF_OfdESealSign_Verify==>%08x -- signer cert is not an owner of the "
     "seal",
     [](fx::SignatureSpec* s, Bytes*) {
       s->seal = fx::MakeSeal(Family::kGov);
       s->signer = Forger();
     }},
    {"RSA-with-SHA-1 identifier on an SM2 signer", Family::kGov, 5035,
     "SEF_OfdESealSign_Verify==>%08x -- signature algorithm does not match "
     "the signer cert",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signatureAlgorithm = fx::kOidRsaWithSha1;
     }},
    {"SM2 identifier on an RSA signer", Family::kPlain, 5035,
     "SEF_OfdESealSign_Verify==>%08x -- signature algorithm does not match "
     "the signer cert",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signer = fx::DefaultSigner(fx::KeyType::kRsa);
       s->signatureAlgorithm = fx::kOidSm2WithSm3;
     }},
    {"RSA-with-SHA-256 identifier over a SHA-1 DigestInfo", Family::kGin, 5035,
     "SEF_OfdESealSign_Verify==>%08x -- signature algorithm does not match "
     "the signer cert",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signer = fx::DefaultSigner(fx::KeyType::kRsa);
       s->rsaHash = fx::RsaHash::kSha1;
       s->signatureAlgorithm = fx::kOidRsaWithSha256;
     }},
    {"MD5 RSA signer signature", Family::kGov, 5035,
     "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signer = fx::DefaultSigner(fx::KeyType::kRsa);
       s->rsaHash = fx::RsaHash::kMd5;
     }},
    {"byte after the signer's SEQUENCE {r, s}", Family::kPlain, 5035,
     "ES_VerifySignVaild==>%08x -- SEBF_VerifyData() error",
     TrailingSignerByte},
    {"RSA-with-SHA-256 identifier on an SM2 maker", Family::kGov, 5035,
     "ES_Gov_VerifySealVaild-->%08x -- signature algorithm does not match the "
     "maker cert",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.signatureAlgorithm = fx::kOidRsaWithSha256;
       s->seal = fx::MakeSeal(Family::kGov, seal);
     }},
    {"SM2 identifier on an RSA maker", Family::kGin, 5035,
     "ES_Gin_VerifySealVaild-->%08x -- signature algorithm does not match the "
     "maker cert",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
       seal.signatureAlgorithm = fx::kOidSm2WithSm3;
       s->seal = fx::MakeSeal(Family::kGin, seal);
     }},
    {"MD5 RSA maker signature", Family::kPlain, 5035,
     "ES_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
       seal.rsaHash = fx::RsaHash::kMd5;
       s->seal = fx::MakeSeal(Family::kPlain, seal);
     }},
    {"byte after the maker's SEQUENCE {r, s}", Family::kGov, 5035,
     "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal = FixedSeal();
       Bytes signedPart;
       fx::MakeSeal(Family::kGov, seal, &signedPart);
       seal.signData = fx::Sign(fx::DefaultMaker(), signedPart);
       seal.signData->push_back(0x00);
       s->seal = fx::MakeSeal(Family::kGov, seal);
     }},
};

TEST(Verify, EachBrokenStepFailsWithItsCodeAndLogLine) {
  for (const BrokenRow& row : kBroken) {
    fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
    Bytes digest = Digest();
    row.edit(&params, &digest);
    Bytes sig = fx::MakeSignature(row.family, params);
    fx::TestLog::Watch();
    EXPECT_EQ(Verify(digest, sig), row.code) << row.what;
    EXPECT_NE(fx::TestLog::Since().find(Line(row.line, row.code)),
              std::string::npos)
        << row.what << "\nlog:\n"
        << fx::TestLog::Since();
  }
}

TEST(Verify, MissingConfigurationIsNotAnError) {
  // The build's library folder holds no main.ini; it is looked for on the
  // first verification of a process.
  KX_IN_FRESH_PROCESS();
  Bytes sig = fx::MakeSignature(Family::kGin, SpecFor(fx::KeyType::kSm2));
  fx::TestLog::Watch();
  EXPECT_EQ(Verify(Digest(), sig), 0u);
  EXPECT_EQ(SEF_GetLastError(), 0u);
  EXPECT_EQ(fx::TestLog::Since().find("[ERROR"), std::string::npos)
      << fx::TestLog::Since();
}

TEST(Verify, EmptyDigestMatchesAnEmptyStoredDigest) {
  fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
  params.dataHash = Bytes();
  Bytes sig = fx::MakeSignature(Family::kPlain, params);
  const unsigned char any = 0;
  EXPECT_EQ(SEF_OfdESealSign_Verify(&any, 0, sig.data(),
                                    static_cast<unsigned int>(sig.size())),
            0u);
}

TEST(Verify, GinSignatureInTheSealLibraryLayoutIsNotRecognised) {
  fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
  params.ginEmbeddedSeal = true;
  EXPECT_EQ(Verify(Digest(), fx::MakeSignature(Family::kGin, params)), 5023u);
}

TEST(Verify, ThreadsVerifyingDifferentSignaturesGetTheRightAnswers) {
  struct Case {
    Bytes sig;
    Bytes digest;
    unsigned int expected;
  };
  std::vector<Case> cases;
  for (Family family : kFamilies) {
    for (fx::KeyType signer : {fx::KeyType::kSm2, fx::KeyType::kRsa}) {
      fx::SignatureSpec params = SpecFor(signer);
      Bytes sig = fx::MakeSignature(family, params);
      cases.push_back({sig, Digest(), 0});
      Bytes other = Digest();
      other[5] ^= 0xFF;
      cases.push_back({sig, other, 5013});
      Bytes bad = sig;
      bad[bad.size() - 3] ^= 0x01;  // inside the signature value
      cases.push_back({bad, Digest(), 5035});
    }
  }
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < cases.size(); ++i) {
          const Case& c = cases[(i + static_cast<size_t>(t)) % cases.size()];
          if (Verify(c.digest, c.sig) != c.expected) ++failures[static_cast<size_t>(t)];
        }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

// ---------------------------------------------------------------------------
// The verifyCL switch, each case in a process of its own with a private copy
// of the libraries and its own main.ini.

std::string LibraryFileOf(const void* symbol) {
  Dl_info info{};
  if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return "";
  return fs::canonical(info.dli_fname).string();
}

class VerifyClProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kxverifycl_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    struct Lib {
      const void* symbol;
      const char* file;
      const char* soname;
    } libs[] = {
        {reinterpret_cast<const void*>(&KXLog), "libKXCommon.so.1.0.0",
         "libKXCommon.so.1"},
        {reinterpret_cast<const void*>(&SEF_OfdESealSign_Verify),
         "libsealverify.so.1.0.0", "libsealverify.so.1"},
    };
    for (const Lib& lib : libs) {
      fs::copy_file(LibraryFileOf(lib.symbol), dir_ / lib.file);
      fs::create_symlink(lib.file, dir_ / lib.soname);
    }
    // libsealcore: beside libsealverify in the build.
    fs::path core = fs::path(LibraryFileOf(
                                 reinterpret_cast<const void*>(&SEF_OfdESealSign_Verify)))
                        .parent_path() /
                    "libsealcore.so.1";
    fs::copy_file(fs::canonical(core), dir_ / "libsealcore.so.1.0.0");
    fs::create_symlink("libsealcore.so.1.0.0", dir_ / "libsealcore.so.1");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteIni(const std::string& text) {
    std::ofstream(dir_ / "main.ini", std::ios::binary) << text;
  }

  // Runs the probe on a signature; returns its result code and checks that
  // it really used this copy of the libraries.
  unsigned int Run(const Bytes& sig, const Bytes& digest) {
    fs::path sigFile = dir_ / "sig.der";
    std::ofstream(sigFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(sig.data()),
               static_cast<std::streamsize>(sig.size()));
    std::string cmd = "LD_LIBRARY_PATH='" + dir_.string() + "' '" +
                      KX_VERIFY_PROBE + "' " + fx::ToHex(digest) + " '" +
                      sigFile.string() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return 0xFFFFFFFFu;
    char out[4096] = {0};
    size_t n = fread(out, 1, sizeof out - 1, p);
    pclose(p);
    unsigned int rc = 0xFFFFFFFFu;
    char dll[4000] = {0};
    if (std::sscanf(std::string(out, n).c_str(), "%u %3999s", &rc, dll) != 2)
      return 0xFFFFFFFEu;
    EXPECT_EQ(fs::path(dll), fs::path(dir_.string() + "/"));
    return rc;
  }

  static Bytes ExpiredSignerSignature() {
    fx::CertSpec cert;
    cert.validity = fx::Validity::kExpired;
    fx::SignatureSpec params;
    params.dataHash = Digest();
    params.signer = fx::MakeCredential(cert, &fx::DefaultRoot());
    return fx::MakeSignature(Family::kGov, params);
  }

  fs::path dir_;
};

TEST_F(VerifyClProcess, NoMainIniLeavesCertificateChecksOff) {
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 0u);
}

TEST_F(VerifyClProcess, ZeroLeavesCertificateChecksOff) {
  WriteIni("[Default]\nverifyCL=0\n");
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 0u);
}

TEST_F(VerifyClProcess, OneRejectsAnExpiredSignerCertificate) {
  WriteIni("[Default]\nlogLevel=2\nverifyCL=1\n");
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 5019u);
  // A signer certificate within its period still verifies.
  fx::SignatureSpec params;
  params.dataHash = Digest();
  EXPECT_EQ(Run(fx::MakeSignature(Family::kPlain, params), Digest()), 0u);
}

TEST_F(VerifyClProcess, CheckSealOwnerZeroAcceptsACopiedSeal) {
  fx::SignatureSpec params;
  params.dataHash = Digest();
  params.seal = fx::MakeSeal(Family::kGov);
  params.signer = Forger();
  const Bytes forged = fx::MakeSignature(Family::kGov, params);
  EXPECT_EQ(Run(forged, Digest()), 5032u);
  WriteIni("[Default]\ncheckSealOwner=abc\n");
  EXPECT_EQ(Run(forged, Digest()), 5032u);
  WriteIni("[Default]\ncheckSealOwner=0\n");
  EXPECT_EQ(Run(forged, Digest()), 0u);
}

TEST_F(VerifyClProcess, CheckSealPeriodRefusesSignaturesOutsideTheSeal) {
  const time_t start = 1700000000, end = 1800000000;
  auto signedAt = [&](Family family, time_t when) {
    fx::SealSpec seal;
    seal.createDate = seal.validStart = start;
    seal.validEnd = end;
    fx::SignatureSpec params;
    params.dataHash = Digest();
    params.seal = fx::MakeSeal(family, seal);
    params.signTime = when;
    return fx::MakeSignature(family, params);
  };
  const Bytes late = signedAt(Family::kGov, end + 1);
  EXPECT_EQ(Run(late, Digest()), 0u);  // off by default
  WriteIni("[Default]\ncheckSealPeriod=1\n");
  EXPECT_EQ(Run(late, Digest()), 5020u);
  EXPECT_EQ(Run(signedAt(Family::kPlain, start - 1), Digest()), 5020u);
  EXPECT_EQ(Run(signedAt(Family::kGin, end), Digest()), 0u);
  EXPECT_EQ(Run(signedAt(Family::kPlain, start), Digest()), 0u);
}

// Encoders' slips seen in genuine documents. Each row's signature is sound:
// it verifies when read tolerantly (the default), its properties read, and
// the same slip over a wrong signature or digest still fails; with
// strictDer=1 it fails as strict DER reading always did.
struct SlipRow {
  const char* what;
  Family family;
  unsigned int strictCode;
  void (*edit)(fx::SignatureSpec*);
};

// A seal naming the default signer and the forger as owners, so that a
// signature checked against the forger's certificate reaches the signature.
fx::SealSpec OwnedSeal() {
  fx::SealSpec seal;
  seal.ownerCerts =
      std::vector<Bytes>{fx::DefaultSigner().certDer, Forger().certDer};
  return seal;
}

const SlipRow kSlips[] = {
    {"signer's r without its sign octet", Family::kGov, 5035,
     [](fx::SignatureSpec* s) { s->signatureSlip = fx::Sm2Slip::kUnsignedR; }},
    {"signer's r with a superfluous zero", Family::kPlain, 5035,
     [](fx::SignatureSpec* s) { s->signatureSlip = fx::Sm2Slip::kPaddedR; }},
    {"signer's value short of its zero byte", Family::kGov, 5035,
     [](fx::SignatureSpec* s) {
       s->signatureSlip = fx::Sm2Slip::kTruncatedBits;
     }},
    {"maker's r without its sign octet", Family::kGin, 5035,
     [](fx::SignatureSpec* s) {
       fx::SealSpec seal = OwnedSeal();
       seal.signDataSlip = fx::Sm2Slip::kUnsignedR;
       s->seal = fx::MakeSeal(Family::kGin, seal);
     }},
    {"maker's value short of its zero byte", Family::kPlain, 5035,
     [](fx::SignatureSpec* s) {
       fx::SealSpec seal = OwnedSeal();
       seal.signDataSlip = fx::Sm2Slip::kTruncatedBits;
       s->seal = fx::MakeSeal(Family::kPlain, seal);
     }},
    {"GOV signature named by the signed-data identifier", Family::kGov, 5035,
     [](fx::SignatureSpec* s) {
       s->signatureAlgorithm = "1.2.156.10197.6.1.4.2.2";
     }},
    {"plain layout whose versions say 4", Family::kPlain, 5024,
     [](fx::SignatureSpec* s) {
       fx::SealSpec seal = OwnedSeal();
       seal.version = 4;
       s->seal = fx::MakeSeal(Family::kPlain, seal);
       s->version = 4;
     }},
    {"GOV to-be-signed part with an extra [0] field", Family::kGov, 5023,
     [](fx::SignatureSpec* s) {
       s->tbsExtra = Bytes{0xA0, 0x03, 0x02, 0x01, 0x01};
     }},
    {"GOV seal with a field after its signature", Family::kGov, 5023,
     [](fx::SignatureSpec* s) {
       fx::SealSpec seal = OwnedSeal();
       seal.trailingField = Bytes{0xA0, 0x02, 0x05, 0x00};
       s->seal = fx::MakeSeal(Family::kGov, seal);
     }},
    {"plain owner list with IA5String entries", Family::kPlain, 5023,
     [](fx::SignatureSpec* s) {
       fx::SealSpec seal = OwnedSeal();
       seal.extraOwnerEntries = {fx::asn::Ia5("not a certificate")};
       s->seal = fx::MakeSeal(Family::kPlain, seal);
     }},
};

TEST_F(VerifyClProcess, EncodersSlipsVerifyUnlessStrictDerIsAskedFor) {
  std::vector<Bytes> sigs;
  for (const SlipRow& row : kSlips) {
    SCOPED_TRACE(row.what);
    fx::SignatureSpec params;
    params.dataHash = Digest();
    row.edit(&params);
    Bytes sig = fx::MakeSignature(row.family, params);
    EXPECT_EQ(Verify(Digest(), sig), 0u);
    Bytes other = Digest();
    other[0] ^= 1;
    EXPECT_EQ(Verify(other, sig), 5013u);
    // The same slip, checked against a certificate that did not sign.
    fx::SignatureSpec wrong = params;
    wrong.cert = Forger().certDer;
    EXPECT_EQ(Verify(Digest(), fx::MakeSignature(row.family, wrong)), 5035u);
    // Properties of the signature and of its seal read.
    unsigned int length = 0;
    EXPECT_EQ(SEF_ESealSignDataGetProperty(
                  2, sig.data(), static_cast<unsigned int>(sig.size()),
                  nullptr, &length),
              0u);
    EXPECT_EQ(length, fx::DefaultSigner().certDer.size());
    EXPECT_EQ(SEF_ESealSignDataGetProperty(
                  ES_SEAL_NAME, sig.data(),
                  static_cast<unsigned int>(sig.size()), nullptr, &length),
              0u);
    sigs.push_back(sig);
  }
  WriteIni("[Default]\nstrictDer=1\n");
  for (size_t i = 0; i < sigs.size(); ++i)
    EXPECT_EQ(Run(sigs[i], Digest()), kSlips[i].strictCode) << kSlips[i].what;
}

TEST_F(VerifyClProcess, NonNumericValueAndMissingSectionAreOff) {
  WriteIni("[Other]\nverifyCL=1\n[Default]\nverifyCL=abc\n");
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 0u);
}

}  // namespace
